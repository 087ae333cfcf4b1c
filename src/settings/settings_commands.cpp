#include "settings/settings_commands.h"

#include "settings/settings_file.h"
#include "util/ini_file.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {

ScriptValue GetSettings(const SearchSettings& settings) {
    return ScriptValue::List({
        ScriptValue::Int(settings.filetypes),
        ScriptValue::Text(settings.othertypes),
        ScriptValue::Int(settings.usemin),
        ScriptValue::Text(std::to_string(settings.minsize)),
        ScriptValue::Int(settings.usemax),
        ScriptValue::Text(std::to_string(settings.maxsize)),
        ScriptValue::Int(settings.skipflag),
    });
}

int32_t SetSettings(SearchSettings& settings, const ScriptValue& values) {
    if (values.Count() < 7) return 1;
    // A size may arrive as a string, an integer or a number beyond 32 bits (its
    // text form); only the leading integer of that text counts, with no clamp here.
    settings.filetypes = values.At(0).IntOr(0);
    if (settings.filetypes == 0) settings.filetypes = KIND_ALL;
    settings.othertypes = values.At(1).TextForm();
    settings.usemin = values.At(2).IntOr(0);
    settings.minsize = LeadingInt64(values.At(3).TextForm());
    settings.usemax = values.At(4).IntOr(0);
    settings.maxsize = LeadingInt64(values.At(5).TextForm());
    settings.skipflag = values.At(6).IntOr(0);
    return SaveSettings(settings) ? 0 : kNotSaved;
}

ScriptValue GetCollapseHardLinks(const SearchSettings& settings) {
    return ScriptValue::Int(settings.collapsehardlinks != 0 ? 1 : 0);
}

namespace {

// Writes one key only, so a file saved before the option existed keeps its layout.
bool SaveOneKey(const SearchSettings& settings, const char* key, int32_t value) {
    IniFile file = IniFile::Load(settings.configPath);
    file.Set(kSettingSection, key, std::to_string(value));
    std::string error;
    if (file.Save(error)) return true;
    LogDebug("Failed to save the settings: %s", error.c_str());
    return false;
}

}  // namespace

int32_t SetCollapseHardLinks(SearchSettings& settings, const ScriptValue& value) {
    settings.collapsehardlinks = value.IntOr(0) != 0 ? 1 : 0;
    (void)SaveOneKey(settings, "collapsehardlinks", settings.collapsehardlinks);
    return 0;
}

ScriptValue GetUseCache(const SearchSettings& settings) {
    return ScriptValue::Int(settings.cache != 0 ? 1 : 0);
}

int32_t SetUseCache(SearchSettings& settings, const ScriptValue& value) {
    settings.cache = value.IntOr(0) != 0 ? 1 : 0;
    return SaveOneKey(settings, "cache", settings.cache) ? 0 : kNotSaved;
}

}  // namespace merravine
