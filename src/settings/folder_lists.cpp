#include "settings/folder_lists.h"

#include "platform/data_folder.h"
#include "settings/settings_file.h"

namespace merravine {

namespace {

int32_t SetList(SearchSettings& settings, std::vector<std::string> SearchSettings::*list,
                const ScriptValue& values) {
    settings.*list = MergeFolderList(values);
    return SaveSettings(settings) ? 0 : kNotSaved;
}

ScriptValue ListValue(const std::vector<std::string>& list) {
    if (list.empty()) return ScriptValue();
    ScriptValue::Array items;
    items.reserve(list.size());
    for (const auto& entry : list) items.push_back(ScriptValue::Text(entry));
    return ScriptValue::List(std::move(items));
}

}  // namespace

bool PathWithin(std::string_view inner, std::string_view outer) {
    if (outer.empty() || inner.size() < outer.size() || inner.substr(0, outer.size()) != outer) {
        return false;
    }
    return inner.size() == outer.size() || outer.back() == '/' || inner[outer.size()] == '/';
}

std::vector<std::string> MergeFolderList(const ScriptValue& values) {
    std::vector<std::string> merged;
    for (size_t i = 0; i < values.Count(); ++i) {
        std::string entry = values.At(i).TextForm();
        if (entry.empty()) continue;
        bool dropped = false;
        for (auto it = merged.begin(); it != merged.end();) {
            if (PathWithin(entry, *it)) {
                dropped = true;
                break;
            }
            it = PathWithin(*it, entry) ? merged.erase(it) : it + 1;
        }
        if (!dropped) merged.push_back(std::move(entry));
    }
    return merged;
}

int32_t SetSearchDirectory(SearchSettings& settings, const ScriptValue& values) {
    return SetList(settings, &SearchSettings::searchDirs, values);
}

int32_t SetExcludeDirectory(SearchSettings& settings, const ScriptValue& values) {
    return SetList(settings, &SearchSettings::excludeDirs, values);
}

int32_t SetProtectDirectory(SearchSettings& settings, const ScriptValue& values) {
    return SetList(settings, &SearchSettings::protectDirs, values);
}

ScriptValue GetSearchDirectory(const SearchSettings& settings) {
    if (!settings.searchDirs.empty()) return ListValue(settings.searchDirs);
    const std::string home = platform::HomeFolder();
    if (home.empty()) return ScriptValue();
    return ListValue({home});
}

ScriptValue GetExcludeDirectory(const SearchSettings& settings) {
    return ListValue(settings.excludeDirs);
}

ScriptValue GetProtectDirectory(const SearchSettings& settings) {
    return ListValue(settings.protectDirs);
}

}  // namespace merravine
