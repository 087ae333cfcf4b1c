// The UI archive: every page document packed into one block of bytes.
//
// Layout, all numbers little-endian:
//   "SAr\0"
//   uint32 node count N, then N nodes of four uint16 fields: character, lower, equal, higher.
//     The nodes form a ternary search tree of item paths rooted at node 0. A link of 0xFFFF
//     (-1) means none. Character 0 ends a path; the equal field of that node is the item
//     number, counted from 1.
//   uint32 item count M, then M entries of three uint32 fields: offset of the item's bytes
//     from the start of the archive, stored size, unpacked size (0: the item is stored plain,
//     otherwise it is LZF-compressed and unpacks to that many bytes).
//   the items' bytes.
//
// Paths are relative to the ui folder with '/' separators ("index.html", "main/choisir.html"),
// one tree character per UTF-16 unit, ASCII letters folded to lower case, so a fetch ignores
// letter case. Open() checks every node and entry against the archive's bounds; a fetch then
// never reads outside the bytes it was given, whatever they hold.
//
// An opened archive is immutable: Fetch may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace merravine {

/// The archive's first four bytes.
inline constexpr char kUiArchiveMagic[4] = {'S', 'A', 'r', '\0'};
/// A tree link, or an item number, that names nothing.
inline constexpr uint16_t kUiArchiveNone = 0xFFFF;
/// The largest node count whose indices all differ from kUiArchiveNone.
inline constexpr size_t kUiArchiveMaxNodes = 0xFFFF;

/// One tree node as stored.
struct UiArchiveNode {
    uint16_t character = 0;
    uint16_t lower = kUiArchiveNone;
    uint16_t equal = kUiArchiveNone;
    uint16_t higher = kUiArchiveNone;
};

/// One item entry as stored.
struct UiArchiveEntry {
    uint32_t offset = 0;
    uint32_t stored_size = 0;
    uint32_t unpacked_size = 0;  ///< 0: stored plain
};

/// The tree key of a path: its UTF-16 units with ASCII letters in lower case and leading
/// '/' characters dropped (invalid UTF-8 bytes become U+DC80..U+DCFF).
std::u16string UiArchiveKey(std::string_view path);

class UiArchive {
  public:
    /// Checks `bytes` and, when they form a whole archive, returns a reader over them. The
    /// bytes must outlive the reader. Answers nullopt for anything malformed.
    static std::optional<UiArchive> Open(std::span<const uint8_t> bytes);

    /// The item at `path`, letter case ignored, unpacked. nullopt when there is no such item
    /// or its bytes do not unpack to the recorded size. An empty item is an empty string.
    std::optional<std::string> Fetch(std::string_view path) const;

    /// The item number (from 1) of `path`, or 0 when absent.
    uint32_t Find(std::string_view path) const;

    /// Number of items.
    size_t ItemCount() const { return entries_.size(); }

  private:
    UiArchive() = default;
    std::optional<std::string> Unpack(const UiArchiveEntry& entry) const;

    std::span<const uint8_t> bytes_;
    std::vector<UiArchiveNode> nodes_;
    std::vector<UiArchiveEntry> entries_;
};

}  // namespace merravine
