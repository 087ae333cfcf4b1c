// The settings record's life on disk: defaults, the one load at start-up and the
// save after every change, in section `setting` of Config.ini.
//
// The load reads each key once; numbered folder keys (search_0, exclude_3, ...)
// are read up to their count, so stale keys beyond it from a longer list saved
// earlier are ignored; their values are read whole, however long (other text
// values are cut at 258 characters as the profile functions cut them). Sizes
// read from the file are clamped to 4294967296.
// The save rewrites the keys it owns in a fixed order and keeps every other line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/search_settings.h"

namespace merravine {

/// The section that holds the search options and folder lists.
inline constexpr const char* kSettingSection = "setting";

/// Keys of the six extension lists, in the order of ExtensionList.
inline constexpr std::array<const char*, 6> kExtensionListKeys = {"archive", "document", "audio",
                                                                  "video",   "picture",  "program"};
/// The extension lists used when the file does not name them, in the order of ExtensionList.
inline constexpr std::array<const char*, 6> kDefaultExtensionLists = {
    "7z|apk|arj|bz|cab|dmg|gz|img|iso|rar|zip",
    "doc|docx|pdf|ppt|pptx|rtf|tex|txt|wps",
    "aac|aif|aifc|aiff|caf|mp3|wav|wma",
    "avi|flv|mkv|mov|mp4|qt|rmvb|swf",
    "bmp|cdr|dib|dwg|eps|gif|ico|jpeg|jpg|msp|png|psd|svg|tga|tif|tiff",
    "bat|com|dll|drv|exe|msi",
};

/// Gives `settings` its constructed values (extension lists empty) and the settings file path.
void InitSearchSettings(SearchSettings& settings, std::string config_path);

/// Reads section `setting` of settings.configPath into the record; appends to the
/// folder lists. A missing file or key gives the defaults; nothing is written.
void LoadSettings(SearchSettings& settings);

/// The answer of a setting command whose value is kept for this run but could not be
/// written to Config.ini (a full or read-only data folder).
inline constexpr int32_t kNotSaved = 2;

/// Writes the options and the three folder lists back; false (logged) when the file
/// could not be written. The record keeps its values either way.
[[nodiscard]] bool SaveSettings(const SearchSettings& settings);

/// Splits a bar-separated extension list: bars at the end, then at the start, are
/// dropped; an empty rest gives no entries; an empty piece between two bars stays.
std::vector<std::string> SplitExtensionList(std::string_view text);

/// A size read from the file: values that need more than 32 bits (negative ones
/// included, read as unsigned) become exactly 4294967296.
int64_t ClampLoadedSize(int64_t size);

}  // namespace merravine
