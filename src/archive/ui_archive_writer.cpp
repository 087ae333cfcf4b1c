// Building the UI archive: a ternary search tree over the folded paths, inserted in a
// balanced order (the middle path of each range first) so lookups stay short, then the entry
// table, then each item LZF-compressed when that makes it smaller, stored plain otherwise.
#include "archive/ui_archive_writer.h"

#include <lzf.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <system_error>

#include "archive/ui_archive.h"

namespace merravine {

namespace {

struct KeyedItem {
    std::u16string key;
    UiItem item;
};

class TreeBuilder {
  public:
    // Adds `key` for item number `item`; false when the node links would overflow.
    bool Insert(const std::u16string& key, uint16_t item) {
        const auto unit = [&](size_t at) { return at < key.size() ? key[at] : u'\0'; };
        if (nodes_.empty() && !NewNode(unit(0))) return false;
        size_t node = 0;
        size_t position = 0;
        while (true) {
            const char16_t wanted = unit(position);
            const char16_t here = static_cast<char16_t>(nodes_[node].character);
            if (wanted == here && wanted == 0) {
                nodes_[node].equal = item;
                return true;
            }
            if (wanted == here) ++position;
            // The link is named by member pointer, not by reference: NewNode may move nodes_.
            uint16_t UiArchiveNode::*link = wanted < here   ? &UiArchiveNode::lower
                                            : wanted > here ? &UiArchiveNode::higher
                                                            : &UiArchiveNode::equal;
            if (nodes_[node].*link == kUiArchiveNone) {
                const auto created = static_cast<uint16_t>(nodes_.size());
                if (!NewNode(unit(position))) return false;
                nodes_[node].*link = created;
            }
            node = nodes_[node].*link;
        }
    }

    const std::vector<UiArchiveNode>& Nodes() const { return nodes_; }

  private:
    bool NewNode(char16_t character) {
        if (nodes_.size() >= kUiArchiveMaxNodes) return false;
        nodes_.push_back(UiArchiveNode{static_cast<uint16_t>(character), kUiArchiveNone,
                                       kUiArchiveNone, kUiArchiveNone});
        return true;
    }

    std::vector<UiArchiveNode> nodes_;
};

void InsertBalanced(TreeBuilder& tree, const std::vector<KeyedItem>& items, size_t begin,
                    size_t end, bool& ok) {
    if (begin >= end || !ok) return;
    const size_t middle = begin + (end - begin) / 2;
    ok = tree.Insert(items[middle].key, static_cast<uint16_t>(middle + 1));
    InsertBalanced(tree, items, begin, middle, ok);
    InsertBalanced(tree, items, middle + 1, end, ok);
}

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// The item compressed, or empty when compression does not make it smaller.
std::string Compress(const std::string& bytes) {
    if (bytes.size() < 2 || bytes.size() > std::numeric_limits<unsigned int>::max()) return {};
    std::string packed(bytes.size() - 1, '\0');
    const unsigned int length =
        lzf_compress(bytes.data(), static_cast<unsigned int>(bytes.size()), packed.data(),
                     static_cast<unsigned int>(packed.size()));
    packed.resize(length);
    return packed;
}

}  // namespace

UiPackResult PackUiItems(std::vector<UiItem> items) {
    UiPackResult result;
    std::vector<KeyedItem> keyed;
    keyed.reserve(items.size());
    for (auto& item : items) {
        std::u16string key = UiArchiveKey(item.path);
        if (key.empty() || key.find(u'\0') != std::u16string::npos) {
            result.error = "cannot pack the path \"" + item.path + "\": it is empty or holds NUL";
            return result;
        }
        keyed.push_back(KeyedItem{std::move(key), std::move(item)});
    }
    std::sort(keyed.begin(), keyed.end(),
              [](const KeyedItem& a, const KeyedItem& b) { return a.key < b.key; });
    for (size_t i = 1; i < keyed.size(); ++i) {
        if (keyed[i].key == keyed[i - 1].key) {
            result.error = "the paths \"" + keyed[i - 1].item.path + "\" and \"" +
                           keyed[i].item.path + "\" differ only in letter case";
            return result;
        }
    }
    if (keyed.size() >= kUiArchiveNone) {
        result.error = "too many items: " + std::to_string(keyed.size()) + ", at most " +
                       std::to_string(kUiArchiveNone - 1);
        return result;
    }

    TreeBuilder tree;
    bool ok = true;
    InsertBalanced(tree, keyed, 0, keyed.size(), ok);
    if (!ok) {
        result.error = "the item paths need more than " + std::to_string(kUiArchiveMaxNodes) +
                       " tree nodes (16-bit links); shorten or remove paths";
        return result;
    }

    std::vector<std::string> stored(keyed.size());
    std::vector<UiArchiveEntry> entries(keyed.size());
    const uint64_t data_start = 8 + uint64_t{tree.Nodes().size()} * 8 + 4 + keyed.size() * 12;
    uint64_t offset = data_start;
    for (size_t i = 0; i < keyed.size(); ++i) {
        const std::string& bytes = keyed[i].item.bytes;
        std::string packed = Compress(bytes);
        const bool compressed = !packed.empty();
        stored[i] = compressed ? std::move(packed) : bytes;
        if (compressed) ++result.compressed_items;
        if (offset + stored[i].size() > std::numeric_limits<uint32_t>::max() ||
            bytes.size() > std::numeric_limits<uint32_t>::max()) {
            result.error = "the archive outgrows 32-bit offsets at \"" + keyed[i].item.path + "\"";
            return result;
        }
        entries[i] =
            UiArchiveEntry{static_cast<uint32_t>(offset), static_cast<uint32_t>(stored[i].size()),
                           compressed ? static_cast<uint32_t>(bytes.size()) : 0u};
        offset += stored[i].size();
    }

    std::vector<uint8_t>& out = result.archive;
    out.reserve(static_cast<size_t>(offset));
    out.insert(out.end(), std::begin(kUiArchiveMagic), std::end(kUiArchiveMagic));
    Put32(out, static_cast<uint32_t>(tree.Nodes().size()));
    for (const UiArchiveNode& node : tree.Nodes()) {
        Put16(out, node.character);
        Put16(out, node.lower);
        Put16(out, node.equal);
        Put16(out, node.higher);
    }
    Put32(out, static_cast<uint32_t>(entries.size()));
    for (const UiArchiveEntry& entry : entries) {
        Put32(out, entry.offset);
        Put32(out, entry.stored_size);
        Put32(out, entry.unpacked_size);
    }
    for (const std::string& bytes : stored) out.insert(out.end(), bytes.begin(), bytes.end());
    return result;
}

std::vector<UiItem> CollectUiFolder(const std::filesystem::path& folder, std::string& error) {
    namespace fs = std::filesystem;
    std::vector<UiItem> items;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec);
    if (ec) {
        error = "cannot read " + folder.string() + ": " + ec.message();
        return items;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& path = it->path();
        if (path.filename().string().starts_with('.')) {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot read " + path.string();
            return items;
        }
        UiItem item;
        item.path = path.lexically_relative(folder).generic_string();
        item.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        items.push_back(std::move(item));
    }
    if (ec) error = "cannot list " + folder.string() + ": " + ec.message();
    return items;
}

}  // namespace merravine
