// Load and save of the settings record in Config.ini.
#include "settings/settings_file.h"

#include <map>

#include "util/ini_file.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {

namespace {

constexpr int64_t kSizeCeiling = 4294967296;  // 2^32

// The index of a numbered key such as "search_12" (prefix compared without regard
// to case, index in plain decimal as "%d" writes it), or -1.
int64_t IndexOfNumberedKey(std::string_view key, std::string_view prefix) {
    if (key.size() <= prefix.size()) return -1;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(key[i]) != prefix[i]) return -1;
    }
    const std::string_view digits = key.substr(prefix.size());
    if (digits.size() > 1 && digits.front() == '0') return -1;
    const std::optional<uint64_t> index = ParseDecimal(digits, INT64_MAX);
    return index ? static_cast<int64_t>(*index) : -1;
}

// Reads the folder keys prefix0 .. prefix(count-1) in index order, skipping empty
// values, and returns how many keys the load tried (count, or 0 when count <= 0).
// Only the keys present are visited, so a huge hand-edited count costs nothing.
int32_t LoadFolderList(const IniFile& file, std::string_view prefix, int32_t count,
                       std::vector<std::string>& list) {
    if (count <= 0) return 0;
    std::map<int64_t, std::string>
        present;  // the first key of each index wins, as a lookup finds it
    for (auto& [key, value] : file.Entries(kSettingSection)) {
        const int64_t index = IndexOfNumberedKey(key, prefix);
        if (index >= 0 && index < count) present.emplace(index, std::move(value));
    }
    // Folder values are read whole: the storage form of a path longer than 96
    // characters runs past 258, and a cut value would no longer decode.
    for (const auto& [index, value] : present) {
        if (!value.empty()) list.push_back(FromBase64(value));
    }
    return count;
}

void SaveFolderList(IniFile& file, const std::string& prefix, const char* count_key,
                    const std::vector<std::string>& list) {
    file.Set(kSettingSection, count_key, std::to_string(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
        file.Set(kSettingSection, prefix + std::to_string(i), ToBase64(list[i]));
    }
}

}  // namespace

void InitSearchSettings(SearchSettings& settings, std::string config_path) {
    settings = SearchSettings{};
    settings.configPath = std::move(config_path);
}

int64_t ClampLoadedSize(int64_t size) {
    return static_cast<uint64_t>(size) >= static_cast<uint64_t>(kSizeCeiling) ? kSizeCeiling : size;
}

std::vector<std::string> SplitExtensionList(std::string_view text) {
    while (!text.empty() && text.back() == '|') text.remove_suffix(1);
    while (!text.empty() && text.front() == '|') text.remove_prefix(1);
    std::vector<std::string> entries;
    if (text.empty()) return entries;
    for (;;) {
        const size_t bar = text.find('|');
        entries.emplace_back(text.substr(0, bar));
        if (bar == std::string_view::npos) break;
        text.remove_prefix(bar + 1);
    }
    return entries;
}

void LoadSettings(SearchSettings& settings) {
    const IniFile file = IniFile::Load(settings.configPath);
    const char* section = kSettingSection;

    settings.filetypes = file.GetInt(section, "filetypes", KIND_ALL);
    if (settings.filetypes == 0) settings.filetypes = KIND_ALL;
    settings.othertypes = file.GetString(section, "othertypes", "");
    settings.usemin = file.GetInt(section, "usemin", 0) != 0 ? 1 : 0;
    settings.minsize = ClampLoadedSize(LeadingInt64(file.GetString(section, "minsize", "")));
    settings.usemax = file.GetInt(section, "usemax", 0) != 0 ? 1 : 0;
    settings.maxsize = ClampLoadedSize(LeadingInt64(file.GetString(section, "maxsize", "")));
    settings.skipflag = file.GetInt(section, "skipflag", 15);

    const int32_t search_tried =
        LoadFolderList(file, "search_", file.GetInt(section, "searchnum", 63), settings.searchDirs);
    const int32_t exclude_tried = LoadFolderList(
        file, "exclude_", file.GetInt(section, "excludenum", search_tried), settings.excludeDirs);
    LoadFolderList(file, "protect_", file.GetInt(section, "protectnum", exclude_tried),
                   settings.protectDirs);

    for (size_t kind = 0; kind < kExtensionListKeys.size(); ++kind) {
        settings.extensionLists[kind] = SplitExtensionList(
            file.GetString(section, kExtensionListKeys[kind], kDefaultExtensionLists[kind]));
    }
    settings.scanmaxfilenumber = file.GetInt(section, "scanmaxfilenumber", 2147483647);
    settings.historymax = file.GetInt(section, "historymax", SearchSettings{}.historymax);
    settings.collapsehardlinks = file.GetInt(section, "collapsehardlinks", 1) != 0 ? 1 : 0;
    settings.cache = file.GetInt(section, "cache", SearchSettings{}.cache) != 0 ? 1 : 0;
}

bool SaveSettings(const SearchSettings& settings) {
    IniFile file = IniFile::Load(settings.configPath);
    const char* section = kSettingSection;
    file.Set(section, "filetypes", std::to_string(settings.filetypes));
    file.Set(section, "usemin", std::to_string(settings.usemin));
    file.Set(section, "minsize", std::to_string(settings.minsize));
    file.Set(section, "usemax", std::to_string(settings.usemax));
    file.Set(section, "maxsize", std::to_string(settings.maxsize));
    file.Set(section, "skipflag", std::to_string(settings.skipflag));
    SaveFolderList(file, "search_", "searchnum", settings.searchDirs);
    SaveFolderList(file, "exclude_", "excludenum", settings.excludeDirs);
    SaveFolderList(file, "protect_", "protectnum", settings.protectDirs);
    std::string error;
    if (file.Save(error)) return true;
    LogDebug("Failed to save the settings: %s", error.c_str());
    return false;
}

}  // namespace merravine
