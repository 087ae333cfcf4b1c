#include "settings/settings_commands.h"

#include "settings/settings_file.h"
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

}  // namespace merravine
