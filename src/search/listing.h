// The listing of one search: every file the walk accepted, in walk order, kept small
// and flat (24 bytes per file plus its name, folder texts stored once; each store
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
        for (size_t i = 0; i < kMaxChunks && chunks_[i] != nullptr; ++i) delete[] chunks_[i];
        std::free(chunks_);
    }
    ChunkedVector(const ChunkedVector&) = delete;
    ChunkedVector& operator=(const ChunkedVector&) = delete;

    size_t size() const { return size_; }
    /// Frees every element; the vector is empty and may grow again.
    void Clear() {
        for (size_t i = 0; i < kMaxChunks && chunks_[i] != nullptr; ++i) {
            delete[] chunks_[i];
            chunks_[i] = nullptr;
        }
        size_ = 0;
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

    /// Appends `length` (< chunk size) elements that stay contiguous; returns the
    /// index of the first, or SIZE_MAX when full.
    size_t AppendContiguous(const T* data, size_t length) {
        const size_t room = kChunkSize - (size_ & (kChunkSize - 1));
        if (length > room) size_ += room;
        const size_t first = size_;
        for (size_t i = 0; i < length; ++i) {
            if (!push_back(data[i])) return SIZE_MAX;
        }
        return first;
    }
    const T* Contiguous(size_t first) const { return &(*this)[first]; }

  private:
    T** chunks_;
    size_t size_ = 0;
};

/// One accepted file of the walk (24 bytes; its times are read once it has a twin).
struct FileEntry {
    FileLen size = 0;
    uint32_t folder = 0;      ///< index into Listing::folders
    uint32_t nameOffset = 0;  ///< index of the name's first byte in Listing::names
    uint16_t nameLength = 0;
    uint16_t suffixStart = 0;  ///< where the suffix begins in the name (nameLength when none)
    uint8_t kind = 0;          ///< the FileKind bit
    uint8_t flags = 0;         ///< FILE_FLAG_PROTECTED or 0
};

struct Listing {
    ChunkedVector<std::string> folders;  ///< folder texts, each ending in "/"
    ChunkedVector<char, 16> names;       ///< large chunks: a name never straddles two
    ChunkedVector<FileEntry> files;

    std::string_view Name(const FileEntry& entry) const {
        return {names.Contiguous(entry.nameOffset), entry.nameLength};
    }
    std::string FullPath(const FileEntry& entry) const {
        const std::string& folder = folders[entry.folder];
        std::string full;
        full.reserve(folder.size() + entry.nameLength);
        full.append(folder).append(Name(entry));
        return full;
    }
};

}  // namespace merravine
