// The settings record that steers a search: kinds, size limits, skip flags, the
// three folder lists and the extension lists that define the kinds. One instance
// lives in the search job; the UI thread changes it only while no search runs, and
// the search thread reads it without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace merravine {

/// File kinds, one bit each; 63 selects all.
enum FileKind : int32_t {
    KIND_ARCHIVE = 1,
    KIND_DOCUMENT = 2,
    KIND_AUDIO = 4,
    KIND_VIDEO = 8,
    KIND_PICTURE = 16,
    KIND_OTHER = 32,
    KIND_ALL = 63,
};

/// Skip flags of the `skipflag` setting.
enum FileSkip : int32_t {
    FILE_SKIP_HIDE = 1,
    FILE_SKIP_SYSTEM = 2,
    FILE_SKIP_PRGRAM = 4,
    FILE_SKIP_RECYCLE = 8,
};

/// Index of each extension list in SearchSettings::extensionLists.
enum ExtensionList : size_t {
    LIST_ARCHIVE = 0,
    LIST_DOCUMENT = 1,
    LIST_AUDIO = 2,
    LIST_VIDEO = 3,
    LIST_PICTURE = 4,
    LIST_PROGRAM = 5,
};

struct SearchSettings {
    int32_t filetypes = KIND_ALL;
    std::string othertypes;
    int32_t usemin = 0;
    int64_t minsize = 0;
    int32_t usemax = 0;
    int64_t maxsize = 0;
    int32_t skipflag = 15;
    int32_t scanmaxfilenumber = 2147483647;
    /// Stored scans kept in the history; below 1 no scan is stored.
    int32_t historymax = 20;
    /// Non-zero: names of one file (hard links) count as one member of a set.
    int32_t collapsehardlinks = 1;
    /// Keep what scans learn about file contents in the content-key cache (key `cache`);
    /// 0 reads every file again in every scan.
    int32_t cache = 1;
    std::vector<std::string> searchDirs;
    std::vector<std::string> excludeDirs;
    std::vector<std::string> protectDirs;
    /// Suffixes of each kind, lower case, without the dot; see ExtensionList.
    std::array<std::vector<std::string>, 6> extensionLists;
    /// Full path of Config.ini.
    std::string configPath;
};

}  // namespace merravine
