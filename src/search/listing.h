// The listing of one search: every file the walk accepted, in walk order, kept small
// and flat (16 bytes per file plus its name and the name's length, folder texts stored
// once; each store
// grows with the tree, up to what its 32-bit indexes reach), so the
// search pass replays it instead of walking the folders a second time.
//
// Storage grows in fixed chunks whose addresses never change: the walk (search
// thread) appends while hash workers read entries that were handed to them through
// the pipeline's mutex, which orders the append before the read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "search/file_record.h"

namespace merravine {

/// A growable array whose elements never move. One thread appends; other threads may
/// read elements that were published to them (through a mutex) after the append.
/// It holds up to 2^32 elements (the most a 32-bit index reaches): memory, not a
/// fixed cap, is what limits it in practice.
template <typename T, size_t ChunkBits = 12>
class ChunkedVector {
  public:
    static constexpr size_t kChunkBits = ChunkBits;
    static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
    static constexpr size_t kMaxChunks = size_t{1} << (32 - kChunkBits);

    // The chunk table comes from calloc, whose large blocks are fresh zero pages that
    // take no memory until a chunk pointer is written.
    ChunkedVector() : chunks_(static_cast<T**>(std::calloc(kMaxChunks, sizeof(T*)))) {
        if (chunks_ == nullptr) throw std::bad_alloc();
    }
    ~ChunkedVector() {
        Clear();
        std::free(chunks_);
    }
    ChunkedVector(const ChunkedVector&) = delete;
    ChunkedVector& operator=(const ChunkedVector&) = delete;

    size_t size() const { return size_; }
    /// Drops the last element (it stays allocated until overwritten or cleared).
    void pop_back() { --size_; }
    /// Frees every element; the vector is empty and may grow again.
    void Clear() {
        for (size_t i = 0; i < kMaxChunks && (chunks_[i] != nullptr || i < released_); ++i) {
            delete[] chunks_[i];
            chunks_[i] = nullptr;
        }
        size_ = 0;
        released_ = 0;
    }
    /// Frees the chunks that hold only elements before `index`, which are not read
    /// again; the size stays, and appending goes on after it.
    void ReleaseBefore(size_t index) {
        for (; released_ < (index >> kChunkBits); ++released_) {
            delete[] chunks_[released_];
            chunks_[released_] = nullptr;
        }
    }
    T& operator[](size_t index) { return chunks_[index >> kChunkBits][index & (kChunkSize - 1)]; }
    const T& operator[](size_t index) const {
        return chunks_[index >> kChunkBits][index & (kChunkSize - 1)];
    }

    /// Appends a value; false when 2^32 elements are held.
    bool push_back(T value) {
        const size_t chunk = size_ >> kChunkBits;
        if (chunk >= kMaxChunks) return false;
        if (chunks_[chunk] == nullptr) chunks_[chunk] = new T[kChunkSize]();
        chunks_[chunk][size_ & (kChunkSize - 1)] = std::move(value);
        ++size_;
        return true;
    }

    /// Appends `length` elements of `head` and then `tailLength` of `tail` (together
    /// at most the chunk size) so that they stay contiguous; returns the index of the
    /// first, or SIZE_MAX when full (or too long).
    size_t AppendContiguous(const T* head, size_t length, const T* tail = nullptr,
                            size_t tailLength = 0) {
        const size_t total = length + tailLength;
        if (total > kChunkSize) return SIZE_MAX;
        const size_t room = kChunkSize - (size_ & (kChunkSize - 1));
        if (total > room) size_ += room;
        const size_t first = size_;
        for (size_t i = 0; i < length; ++i) {
            if (!push_back(head[i])) return SIZE_MAX;
        }
        for (size_t i = 0; i < tailLength; ++i) {
            if (!push_back(tail[i])) return SIZE_MAX;
        }
        return first;
    }
    const T* Contiguous(size_t first) const { return &(*this)[first]; }

  private:
    T** chunks_;
    size_t size_ = 0;
    size_t released_ = 0;  // chunks freed by ReleaseBefore
};

/// One accepted file of the walk (16 bytes; its times are read once it has a twin).
struct FileEntry {
    static constexpr int kSizeBits = 56;
    /// The largest size an entry holds (64 PiB less a byte, beyond what file systems
    /// here allow a file).
    static constexpr FileLen kMaxSize = (FileLen{1} << kSizeBits) - 1;

    FileLen size : kSizeBits = 0;
    FileLen kind : 7 = 0;     ///< the FileKind bit
    FileLen flags : 1 = 0;    ///< FILE_FLAG_PROTECTED or 0
    uint32_t folder = 0;      ///< index into Listing::folders
    uint32_t nameOffset = 0;  ///< where the name's length, then the name, begin in Listing::names
};

struct Listing {
    ChunkedVector<std::string> folders;  ///< folder texts, each ending in "/"
    /// Each name after its length (one byte below 128, else more, 7 bits a byte, low
    /// bits first); large chunks, so a name never straddles two.
    ChunkedVector<char, 16> names;
    ChunkedVector<FileEntry> files;

    /// Stores a name; returns the offset for FileEntry::nameOffset, or SIZE_MAX when
    /// the store is full.
    size_t AddName(std::string_view name) {
        char length[4];
        size_t bytes = 0;
        size_t rest = name.size();
        do {
            const auto low = static_cast<unsigned char>(rest & 0x7f);
            rest >>= 7;
            length[bytes++] = static_cast<char>(rest != 0 ? (low | 0x80) : low);
        } while (rest != 0 && bytes < sizeof(length));
        if (rest != 0) return SIZE_MAX;
        return names.AppendContiguous(length, bytes, name.data(), name.size());
    }
    std::string_view Name(const FileEntry& entry) const {
        const char* at = names.Contiguous(entry.nameOffset);
        size_t length = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(*at++);
            length |= static_cast<size_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) break;
        }
        return {at, length};
    }
    std::string FullPath(const FileEntry& entry) const {
        const std::string& folder = folders[entry.folder];
        const std::string_view name = Name(entry);
        std::string full;
        full.reserve(folder.size() + name.size());
        full.append(folder).append(name);
        return full;
    }
};

}  // namespace merravine
