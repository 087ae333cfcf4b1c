// Whole-file keys and end-block fingerprints. A file whose size changed since it was
// listed is treated as unreadable: its content is no longer what was compared by size.
#include "search/content_key.h"

#include <algorithm>
#include <cstring>

#include "platform/file_read.h"

namespace merravine {
namespace {

int Fault(const ReadContext& context, const std::string& path, IoStep step) {
    if (context.faultHook == nullptr || !*context.faultHook) return 0;
    return (*context.faultHook)(path, step);
}

int OpenChecked(const std::string& path, FileLen size, const ReadContext& context, platform::ContentFile& file) {
    if (const int fault = Fault(context, path, IoStep::Open); fault != 0) return fault;
    if (const int error = file.Open(path); error != 0) return error;
    return file.Size() == size ? 0 : kContentChanged;
}

// A 64-bit mix of a block (not cryptographic: a collision only costs a whole read).
uint64_t MixBlock(uint64_t seed, const uint8_t* data, size_t length) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    uint64_t hash = seed ^ (length * kMul);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * kMul;
        hash ^= hash >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, data + i, length - i);
    hash = (hash ^ tail) * kMul;
    return hash ^ (hash >> 32);
}

}  // namespace

int ComputeKey(const std::string& path, FileLen size, HashScratch& scratch, ReadContext& context,
               ContentKey& key) {
    platform::ContentFile file;
    if (const int error = OpenChecked(path, size, context, file); error != 0) return error;
    if (size > 32) file.AdviseSequential();
    auto& buffer = scratch.buffer;
    scratch.md5.Begin();
    ContentKey raw;
    FileLen total = 0;
    for (;;) {
        if (context.keepGoing && !context.keepGoing()) return kReadAborted;
        if (const int fault = Fault(context, path, IoStep::Read); fault != 0) return fault;
        const long got = file.Read(buffer.data(), buffer.size());
        if (got < 0) return static_cast<int>(-got);
        if (got == 0) break;
        const auto count = static_cast<size_t>(got);
        if (total + count > size) return kContentChanged;
        if (size <= 32) {
            std::memcpy(raw.bytes.data() + total, buffer.data(), count);
        } else {
            scratch.md5.Update(buffer.data(), count);
        }
        total += count;
        context.bytesRead += count;
    }
    if (total != size) return kContentChanged;
    key = size <= 32 ? raw : scratch.md5.FinishKey();
    return 0;
}

int CompareWithReference(const std::string& path, const std::string& referencePath, FileLen size,
                         HashScratch& scratch, ReadContext& context, bool& equal) {
    equal = false;
    platform::ContentFile file;
    if (const int error = OpenChecked(path, size, context, file); error != 0) return error;
    platform::ContentFile reference;
    if (OpenChecked(referencePath, size, context, reference) != 0) return 0;
    file.AdviseSequential();
    reference.AdviseSequential();
    const size_t chunk = std::min(scratch.buffer.size(), scratch.other.size());
    FileLen total = 0;
    while (total < size) {
        if (context.keepGoing && !context.keepGoing()) return kReadAborted;
        if (const int fault = Fault(context, path, IoStep::Read); fault != 0) return fault;
        const auto want = static_cast<size_t>(std::min<FileLen>(chunk, size - total));
        const long got = file.Read(scratch.buffer.data(), want);
        if (got < 0) return static_cast<int>(-got);
        if (got == 0) return kContentChanged;
        const auto count = static_cast<size_t>(got);
        size_t have = 0;
        while (have < count) {
            if (Fault(context, referencePath, IoStep::Read) != 0) return 0;
            const long more = reference.Read(scratch.other.data() + have, count - have);
            if (more <= 0) return 0;
            have += static_cast<size_t>(more);
        }
        context.bytesRead += 2 * count;
        if (std::memcmp(scratch.buffer.data(), scratch.other.data(), count) != 0) return 0;
        total += count;
    }
    uint8_t probe = 0;
    if (file.Read(&probe, 1) != 0) return kContentChanged;
    equal = true;
    return 0;
}

int ComputeFingerprint(const std::string& path, FileLen size, size_t prefixSize, HashScratch& scratch,
                       ReadContext& context, uint64_t& fingerprint) {
    platform::ContentFile file;
    if (const int error = OpenChecked(path, size, context, file); error != 0) return error;
    uint8_t* block = scratch.buffer.data();
    const size_t block_size = std::min(prefixSize, scratch.buffer.size());
    uint64_t hash = 0;
    // The first block, then the last block where it does not overlap the first.
    const FileLen tail_start = size > 2 * block_size ? size - block_size : block_size;
    const FileLen starts[2] = {0, tail_start};
    for (const FileLen start : starts) {
        if (start >= size) break;
        const auto want = static_cast<size_t>(std::min<FileLen>(block_size, size - start));
        size_t have = 0;
        while (have < want) {
            if (const int fault = Fault(context, path, IoStep::Read); fault != 0) return fault;
            const long got = file.ReadAt(block + have, want - have, start + have);
            if (got < 0) return static_cast<int>(-got);
            if (got == 0) return kContentChanged;
            have += static_cast<size_t>(got);
        }
        context.bytesRead += have;
        hash = MixBlock(hash + start, block, have);
    }
    fingerprint = hash;
    return 0;
}

}  // namespace merravine
