// The record of one found file, shared by the result groups, the result rows,
// deletion and the history loader.
//
// Paths are UTF-8 byte strings; a name that is not valid UTF-8 is kept byte for
// byte. The full path is `path` + `namenosuffix` + `suffix`, and `suffix` keeps the
// case the listing gave it, so the full path always names the file that was found
// (on a case-sensitive file system photo.JPG and photo.jpg are two files). The
// lower-cased suffix is used only to classify the file.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace merravine {

/// A file size in bytes.
using FileLen = uint64_t;

/// The content key: up to 32 bytes of raw content (zero-filled), or the MD5 digest
/// as 32 lower-case hexadecimal characters. Compared as unsigned bytes.
struct ContentKey {
    std::array<uint8_t, 32> bytes{};

    auto operator<=>(const ContentKey&) const = default;
    bool operator==(const ContentKey&) const = default;

    /// The key of a stored scan: the first 32 bytes of `text`, zero-filled when shorter.
    static ContentKey FromText(std::string_view text);
    /// The key without its trailing zero bytes; FromText of it gives the key back.
    std::string ToText() const;
};

/// A time of a FileRecord that is not known.
inline constexpr int64_t kNoTime = INT64_MIN;

/// A record's time as the pages and the history show it: decimal seconds since 1970
/// UTC, or an empty text for kNoTime.
std::string TimeText(int64_t seconds);
/// The time of a text TimeText made; kNoTime for any other text (empty, not decimal,
/// out of range).
int64_t TimeFromText(std::string_view text);

/// Bit 0 of FileRecord::flags: the file lies inside a protect folder.
inline constexpr int32_t FILE_FLAG_PROTECTED = 1;

struct FileRecord {
    std::string path;          ///< folder holding the file, ending in "/"
    std::string namenosuffix;  ///< listed name up to and including its last "."
    std::string suffix;        ///< listed characters after the last "." (case kept)
    // Seconds since 1970 UTC, or kNoTime (held as numbers: a search may keep
    // hundreds of thousands of records).
    int64_t createTime = kNoTime;
    int64_t modifyTime = kNoTime;
    int64_t accessTime = kNoTime;
    FileLen size = 0;
    ContentKey key;
    int32_t kind = 0;   ///< one FileKind bit
    int32_t flags = 0;  ///< FILE_FLAG_PROTECTED or 0
    // The file's identity as the scan saw it just after reading its content; zero
    // when it was not examined (stored scans, or a scan that reads no times).
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t links = 0;
    int64_t modifyNs = 0;  ///< last-write time, nanoseconds since 1970 UTC
    int64_t changeNs = 0;  ///< status-change time, nanoseconds since 1970 UTC

    /// path + namenosuffix + suffix: the file as it was listed.
    std::string FullPath() const { return path + namenosuffix + suffix; }
};

/// A listed name cut at its last ".": the part up to and including it, and the rest.
struct NameParts {
    std::string_view namenosuffix;
    std::string_view suffix;
};

/// Splits `name` as FileRecord keeps it: no "." gives the whole name and an empty suffix.
NameParts SplitName(std::string_view name);

/// `suffix` with A to Z turned into a to z; every other byte kept.
std::string LowerSuffix(std::string_view suffix);

/// A folder text with "/" appended when it does not end in one.
std::string FolderWithSlash(std::string_view folder);

}  // namespace merravine
