// Reading the UI archive: validation of the whole layout once, then tree lookups and LZF
// unpacking per fetch. Every offset read here has been checked against the byte count.
#include "archive/ui_archive.h"

#include <lzf.h>

#include <cstring>

#include "util/text.h"

namespace merravine {

namespace {

// LZF turns at most 3 input bytes into 264 output bytes; an unpacked size beyond this ratio
// cannot be genuine and would only make a corrupt entry allocate a huge buffer.
constexpr uint64_t kMaxUnpackRatio = 88;

uint16_t Read16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

uint32_t Read32(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | (static_cast<uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

bool LinkValid(uint16_t link, size_t node_count) {
    return link == kUiArchiveNone || link < node_count;
}

}  // namespace

std::u16string UiArchiveKey(std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    std::u16string key = Utf8ToUtf16(path);
    for (char16_t& unit : key) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + (u'a' - u'A'));
    }
    return key;
}

std::optional<UiArchive> UiArchive::Open(std::span<const uint8_t> bytes) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kUiArchiveMagic, 4) != 0) {
        return std::nullopt;
    }
    const uint64_t node_count = Read32(bytes, 4);
    if (node_count > kUiArchiveMaxNodes) return std::nullopt;
    const uint64_t nodes_end = 8 + node_count * 8;
    if (nodes_end + 4 > bytes.size()) return std::nullopt;
    const uint64_t item_count = Read32(bytes, static_cast<size_t>(nodes_end));
    const uint64_t entries_end = nodes_end + 4 + item_count * 12;
    if (entries_end > bytes.size()) return std::nullopt;

    UiArchive archive;
    archive.bytes_ = bytes;
    archive.nodes_.reserve(static_cast<size_t>(node_count));
    for (size_t i = 0; i < node_count; ++i) {
        const size_t at = 8 + i * 8;
        UiArchiveNode node{Read16(bytes, at), Read16(bytes, at + 2), Read16(bytes, at + 4),
                           Read16(bytes, at + 6)};
        if (!LinkValid(node.lower, node_count) || !LinkValid(node.higher, node_count)) {
            return std::nullopt;
        }
        const bool equal_ok = node.character == 0 ? node.equal >= 1 && node.equal <= item_count
                                                  : LinkValid(node.equal, node_count);
        if (!equal_ok) return std::nullopt;
        archive.nodes_.push_back(node);
    }
    archive.entries_.reserve(static_cast<size_t>(item_count));
    for (size_t i = 0; i < item_count; ++i) {
        const size_t at = static_cast<size_t>(nodes_end) + 4 + i * 12;
        UiArchiveEntry entry{Read32(bytes, at), Read32(bytes, at + 4), Read32(bytes, at + 8)};
        if (entry.offset < entries_end ||
            uint64_t{entry.offset} + entry.stored_size > bytes.size()) {
            return std::nullopt;
        }
        if (entry.unpacked_size != 0 &&
            (entry.stored_size == 0 ||
             entry.unpacked_size > uint64_t{entry.stored_size} * kMaxUnpackRatio)) {
            return std::nullopt;
        }
        archive.entries_.push_back(entry);
    }
    return archive;
}

uint32_t UiArchive::Find(std::string_view path) const {
    // A path holding a NUL would end early inside the tree; no item has one.
    if (path.find('\0') != std::string_view::npos || nodes_.empty()) return 0;
    const std::u16string key = UiArchiveKey(path);
    size_t node = 0;
    size_t position = 0;
    // In a well-formed tree a search visits each node at most once; the step bound keeps a
    // corrupt tree whose links form a loop from spinning forever.
    for (size_t steps = 0; steps <= nodes_.size(); ++steps) {
        const char16_t wanted = position < key.size() ? key[position] : u'\0';
        const UiArchiveNode& current = nodes_[node];
        uint16_t next = kUiArchiveNone;
        if (wanted < current.character) {
            next = current.lower;
        } else if (wanted > current.character) {
            next = current.higher;
        } else {
            if (wanted == 0) return current.equal;
            next = current.equal;
            ++position;
        }
        if (next == kUiArchiveNone) return 0;
        node = next;
    }
    return 0;
}

std::optional<std::string> UiArchive::Fetch(std::string_view path) const {
    const uint32_t item = Find(path);
    if (item == 0) return std::nullopt;
    return Unpack(entries_[item - 1]);
}

std::optional<std::string> UiArchive::Unpack(const UiArchiveEntry& entry) const {
    const auto* stored = bytes_.data() + entry.offset;
    if (entry.unpacked_size == 0) {
        return std::string(reinterpret_cast<const char*>(stored), entry.stored_size);
    }
    std::string unpacked(entry.unpacked_size, '\0');
    const unsigned int length =
        lzf_decompress(stored, entry.stored_size, unpacked.data(), entry.unpacked_size);
    if (length != entry.unpacked_size) return std::nullopt;
    return unpacked;
}

}  // namespace merravine
