// Whole-file keys and end-block fingerprints. A file whose size changed since it was
// listed is treated as unreadable: its content is no longer what was compared by size.
#include "search/content_key.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/file_read.h"
#include "platform/piece_read.h"
#include "util/hash_mix.h"

namespace merravine {
namespace {

// Smaller files are read whole by the kernel's default read-ahead; the advice would
// cost a system call per file and gain nothing.
constexpr FileLen kAdviseFrom = 256 << 10;

int Fault(const ReadContext& context, const std::string& path, IoStep step) {
    if (context.faultHook == nullptr || !*context.faultHook) return 0;
    return (*context.faultHook)(path, step);
}

// A process out of descriptors is waited out, not taken for an unreadable file: the
// other readers close theirs within a block or two.
int OpenChecked(const std::string& path, FileLen size, const ReadContext& context,
                platform::ContentFile& file) {
    for (;;) {
        int error = Fault(context, path, IoStep::Open);
        if (error == 0) error = file.Open(path);
        if (error == 0) return file.Size() == size ? 0 : kContentChanged;
        if (!platform::OutOfDescriptors(error)) return error;
        if (context.keepGoing && !context.keepGoing()) return kReadAborted;
        platform::WaitForDescriptor();
    }
}

// Reads exactly `length` bytes at the file's position; 0 or why it could not. For the
// file's last block it asks for one byte more in the same call (the buffer has room):
// a file that grew while it was read then shows it without a read of its own.
int ReadBlock(const platform::ContentFile& file, const std::string& path, uint8_t* buffer,
              size_t length, bool last, ReadContext& context) {
    const size_t ask = last ? length + 1 : length;
    size_t have = 0;
    while (have < length) {
        if (const int fault = Fault(context, path, IoStep::Read); fault != 0) return fault;
        const long got = file.Read(buffer + have, ask - have);
        if (got < 0) return static_cast<int>(-got);
        if (got == 0) return kContentChanged;
        have += static_cast<size_t>(got);
    }
    if (have > length) return kContentChanged;
    context.Count(have);
    return 0;
}

// A 64-bit mix of a block (not cryptographic: a collision only costs a whole read).
// Four independent lanes keep the multiplier busy instead of waiting on one chain.
uint64_t MixBlock(uint64_t seed, const uint8_t* data, size_t length) {
    constexpr uint64_t kMul = kGoldenGamma;
    auto step = [](uint64_t lane, const uint8_t* at) {
        uint64_t word = 0;
        std::memcpy(&word, at, 8);
        return MixIn(lane, word);
    };
    uint64_t lanes[4] = {seed ^ (length * kMul), seed + 1, seed + 2, seed + 3};
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        for (size_t lane = 0; lane < 4; ++lane)
            lanes[lane] = step(lanes[lane], data + i + 8 * lane);
    }
    uint64_t hash = lanes[0];
    for (size_t lane = 1; lane < 4; ++lane) hash = (hash ^ lanes[lane]) * kMul;
    for (; i + 8 <= length; i += 8) hash = step(hash, data + i);
    uint64_t tail = 0;
    std::memcpy(&tail, data + i, length - i);
    hash = (hash ^ tail) * kMul;
    return hash ^ (hash >> 32);
}

}  // namespace

ContentKey KeyOfContent(const uint8_t* content, FileLen size, Md5& md5) {
    ContentKey key;
    if (size <= key.bytes.size()) {
        std::memcpy(key.bytes.data(), content, static_cast<size_t>(size));
        return key;
    }
    md5.Begin();
    md5.Update(content, static_cast<size_t>(size));
    return md5.FinishKey();
}

void DigestContent(const uint8_t* content, FileLen size, HashScratch& scratch,
                   const ReadContext& context, ContentKey& key, ContentKey& sha) {
    key = KeyOfContent(content, size, scratch.md5);
    if (!context.wantSha) return;
    scratch.sha.Begin();
    scratch.sha.Update(content, static_cast<size_t>(size));
    sha = scratch.sha.Finish();
}

int ComputeKey(const std::string& path, FileLen size, HashScratch& scratch, ReadContext& context,
               ContentKey& key) {
    std::vector<CompareMember> none;
    bool keyed = false;
    return CompareWithReference(path, size, ReferenceDigest::Always, none, scratch, context, key,
                                keyed);
}

namespace {

// A whole read goes by blocks one byte shorter than the smaller buffer.
size_t ReadChunk(const HashScratch& scratch) {
    return std::min(scratch.buffer.size(), scratch.other.size()) - 1;
}

void ClearOutcomes(std::vector<CompareMember>& members) {
    for (CompareMember& member : members) {
        member.error = 0;
        member.equal = false;
        member.divergence = 0;
    }
}

// Reads a file of `size` bytes (at most one block) whole into `buffer` (room for one
// byte more), one call at a time; `opened` tells whether it could be opened.
int ReadWhole(const std::string& path, FileLen size, uint8_t* buffer, ReadContext& context,
              bool& opened) {
    platform::ContentFile file;
    const int error = OpenChecked(path, size, context, file);
    opened = error == 0;
    if (error != 0) return error;
    return ReadBlock(file, path, buffer, static_cast<size_t>(size), true, context);
}

platform::PieceRead WholePiece(const std::string& path, FileLen size, uint8_t* buffer) {
    platform::PieceRead piece;
    piece.path = path.c_str();
    piece.size = size;
    piece.buffers[0] = buffer;
    piece.lengths[0] = static_cast<uint32_t>(size + 1);
    return piece;
}

// The file's content from its batched read, or, where the batch did not take it or
// its size changed, from a read of its own (which tells what changed). `batched`
// tells whether it came from the batch (its bytes are not counted yet).
int TakeWhole(const platform::PieceRead& piece, const std::string& path, FileLen size,
              uint8_t* buffer, ReadContext& context, bool& opened, bool& batched) {
    batched = piece.done;
    if (piece.done && piece.error != 0) {
        opened = false;
        return piece.error;
    }
    if (piece.done && piece.got[0] == size) {
        opened = true;
        return 0;
    }
    batched = false;
    return ReadWhole(path, size, buffer, context, opened);
}

// One class compared in memory, between its batches. The outcomes are those of the
// block-by-block comparison where the whole file is one block: there the reference is
// read (and digested) only when its key is always wanted or a member could be opened,
// so a reference that opens but cannot be read fails the comparison only then.
struct InMemory {
    const std::string& referencePath;
    FileLen size;
    ReferenceDigest digest;
    std::vector<CompareMember>& members;
    uint8_t* reference = nullptr;  // room for size + 1 bytes
    int referenceError = 0;
    bool referenceBatched = false;  // read by the batch, not counted yet
    bool anyOpened = false;

    // Returns false when the reference could not be opened (the comparison's result).
    bool TakeReference(const platform::PieceRead& piece, ReadContext& context) {
        bool opened = false;
        referenceError =
            TakeWhole(piece, referencePath, size, reference, context, opened, referenceBatched);
        return opened;
    }
    // Returns false when the read was aborted.
    bool TakeMember(const platform::PieceRead& piece, CompareMember& member, uint8_t* content,
                    ReadContext& context) {
        bool opened = false;
        bool batched = false;
        member.error = TakeWhole(piece, member.path, size, content, context, opened, batched);
        if (member.error == kReadAborted) return false;
        if (batched && member.error == 0) context.Count(size);
        anyOpened = anyOpened || opened;
        if (member.error != 0 || referenceError != 0) return true;
        const auto length = static_cast<size_t>(size);
        member.equal = std::memcmp(reference, content, length) == 0;
        if (!member.equal) member.divergence = MixBlock(1, content, length);
        return true;
    }
    // After every member: the result, and the reference's key where it is computed.
    int Finish(HashScratch& scratch, ReadContext& context, ContentKey& key, bool& keyed,
               ContentKey& sha) {
        const bool read_wanted = digest == ReferenceDigest::Always || anyOpened;
        if (referenceBatched && read_wanted) context.Count(size);
        if (referenceError != 0) {
            for (CompareMember& member : members) member.equal = false;
            return read_wanted ? referenceError : 0;
        }
        if (digest != ReferenceDigest::None && read_wanted) {
            DigestContent(reference, size, scratch, context, key, sha);
            keyed = true;
        }
        return 0;
    }
};

// Room for whole files in the worker's two block buffers, handed out in turn (a
// file never straddles the two). Files that fit in a block need no memory of their own.
struct Room {
    uint8_t* starts[2];
    size_t sizes[2];
    size_t region = 0;
    size_t used = 0;

    explicit Room(HashScratch& scratch)
        : starts{scratch.buffer.data(), scratch.other.data()},
          sizes{scratch.buffer.size(), scratch.other.size()} {}
    uint8_t* Take(size_t bytes) {
        for (; region < 2; ++region, used = 0) {
            if (sizes[region] - used >= bytes) {
                uint8_t* at = starts[region] + used;
                used += bytes;
                return at;
            }
        }
        return nullptr;
    }
};

// CompareWithReference for a class whose files are read whole in one read each: the
// reference and the members that fit beside it in one batch, further members in more.
int CompareTogether(const std::string& referencePath, FileLen size, ReferenceDigest digest,
                    std::vector<CompareMember>& members, HashScratch& scratch, ReadContext& context,
                    ContentKey& key, bool& keyed) {
    if (context.keepGoing && !context.keepGoing()) return kReadAborted;
    const size_t slot = static_cast<size_t>(size) + 1;
    Room room(scratch);
    InMemory compared{referencePath, size, digest, members};
    compared.reference = room.Take(slot);  // a block has room for it
    const Room beside_reference = room;
    std::vector<platform::PieceRead> pieces;
    std::vector<uint8_t*> places;
    size_t next = 0;  // the first member not read yet
    do {
        room = beside_reference;
        pieces.clear();
        places.clear();
        if (next == 0) pieces.push_back(WholePiece(referencePath, size, compared.reference));
        for (size_t i = next; i < members.size(); ++i) {
            uint8_t* at = room.Take(slot);  // the other block always has room for one
            if (at == nullptr) break;
            places.push_back(at);
            pieces.push_back(WholePiece(members[i].path, size, at));
        }
        platform::ReadPieces(pieces);
        size_t at = 0;
        if (next == 0 && !compared.TakeReference(pieces[at++], context))
            return compared.referenceError;
        for (uint8_t* place : places) {
            if (!compared.TakeMember(pieces[at++], members[next++], place, context))
                return kReadAborted;
        }
    } while (next < members.size());
    return compared.Finish(scratch, context, key, keyed, context.sha);
}

}  // namespace

bool ReadsTogether(FileLen size, const HashScratch& scratch, const ReadContext& context) {
    const size_t chunk = ReadChunk(scratch);
    return size > 0 && size <= chunk && (context.faultHook == nullptr || !*context.faultHook) &&
           platform::PieceReadsBatched();
}

bool CompareClassesTogether(std::span<ClassComparison> classes, HashScratch& scratch,
                            ReadContext& context, size_t& compared) {
    compared = 0;
    if (context.keepGoing && !context.keepGoing()) return false;
    // As many classes as fit whole, in order.
    std::vector<platform::PieceRead> pieces;
    std::vector<uint8_t*> places;  // where each file's content goes
    Room room(scratch);
    size_t taken = 0;
    for (; taken < classes.size(); ++taken) {
        const ClassComparison& one = classes[taken];
        const Room before = room;
        const size_t files_before = places.size();
        for (size_t i = 0; i <= one.members->size(); ++i) {
            uint8_t* at = room.Take(static_cast<size_t>(one.size) + 1);
            if (at == nullptr) break;
            const std::string& path = i == 0 ? *one.referencePath : (*one.members)[i - 1].path;
            pieces.push_back(WholePiece(path, one.size, at));
            places.push_back(at);
        }
        if (places.size() - files_before != one.members->size() + 1) {
            room = before;
            pieces.resize(files_before);
            places.resize(files_before);
            break;
        }
    }
    if (taken == 0) return true;
    platform::ReadPieces(pieces);
    size_t file = 0;
    for (ClassComparison& one : classes.first(taken)) {
        one.keyed = false;
        ClearOutcomes(*one.members);
        InMemory in_memory{*one.referencePath, one.size, one.digest, *one.members};
        in_memory.reference = places[file];
        const size_t first = file;
        file += one.members->size() + 1;
        if (!in_memory.TakeReference(pieces[first], context)) {
            one.result = in_memory.referenceError;
            if (one.result == kReadAborted) return false;
            continue;
        }
        for (size_t i = 0; i < one.members->size(); ++i) {
            if (!in_memory.TakeMember(pieces[first + 1 + i], (*one.members)[i],
                                      places[first + 1 + i], context))
                return false;
        }
        one.result = in_memory.Finish(scratch, context, one.key, one.keyed, one.sha);
    }
    compared = taken;
    return true;
}

int CompareWithReference(const std::string& referencePath, FileLen size, ReferenceDigest digest,
                         std::vector<CompareMember>& members, HashScratch& scratch,
                         ReadContext& context, ContentKey& key, bool& keyed) {
    keyed = false;
    ClearOutcomes(members);
    if (ReadsTogether(size, scratch, context))
        return CompareTogether(referencePath, size, digest, members, scratch, context, key, keyed);
    platform::ContentFile reference;
    if (const int error = OpenChecked(referencePath, size, context, reference); error != 0)
        return error;
    if (size >= kAdviseFrom) reference.AdviseSequential();
    const auto files = std::make_unique<platform::ContentFile[]>(members.size());
    std::vector<size_t> live;  // members still equal so far
    for (size_t i = 0; i < members.size(); ++i) {
        members[i].error = OpenChecked(members[i].path, size, context, files[i]);
        if (members[i].error == kReadAborted) return kReadAborted;
        if (members[i].error != 0) continue;
        if (size >= kAdviseFrom) files[i].AdviseSequential();
        live.push_back(i);
    }
    const bool digesting = digest != ReferenceDigest::None;
    const bool sha = digesting && context.wantSha;
    if (digesting) scratch.md5.Begin();
    if (sha) scratch.sha.Begin();
    ContentKey raw;
    const size_t chunk = ReadChunk(scratch);
    FileLen total = 0;
    while (total < size && (digest == ReferenceDigest::Always || !live.empty())) {
        if (context.keepGoing && !context.keepGoing()) return kReadAborted;
        const auto want = static_cast<size_t>(std::min<FileLen>(chunk, size - total));
        const bool last = total + want == size;
        if (const int error =
                ReadBlock(reference, referencePath, scratch.buffer.data(), want, last, context);
            error != 0)
            return error;
        if (digesting && size <= 32) {
            std::memcpy(raw.bytes.data() + total, scratch.buffer.data(), want);
        } else if (digesting) {
            scratch.md5.Update(scratch.buffer.data(), want);
        }
        if (sha) scratch.sha.Update(scratch.buffer.data(), want);
        std::erase_if(live, [&](size_t i) {
            CompareMember& member = members[i];
            member.error =
                ReadBlock(files[i], member.path, scratch.other.data(), want, last, context);
            if (member.error != 0) return true;
            if (std::memcmp(scratch.buffer.data(), scratch.other.data(), want) == 0) return false;
            member.divergence = MixBlock(total + 1, scratch.other.data(), want);
            return true;
        });
        total += want;
    }
    for (const size_t i : live) members[i].equal = true;
    if (digesting && total == size) {
        key = size <= 32 ? raw : scratch.md5.FinishKey();
        if (sha) context.sha = scratch.sha.Finish();
        keyed = true;
    }
    return 0;
}

namespace {

// The places a fingerprint reads: the first block, then the last block where it does
// not overlap the first. The last read asks one byte more, which shows a file that
// grew since it was listed.
struct EndBlocks {
    FileLen starts[2] = {0, 0};
    size_t wants[2] = {0, 0};  // 0: no read there

    EndBlocks(FileLen size, size_t blockSize) {
        starts[1] = size > 2 * blockSize ? size - blockSize : blockSize;
        for (size_t at = 0; at < 2; ++at) {
            if (starts[at] < size)
                wants[at] = static_cast<size_t>(std::min<FileLen>(blockSize, size - starts[at]));
        }
    }
    size_t Ask(size_t at, FileLen size) const {
        return starts[at] + wants[at] == size ? wants[at] + 1 : wants[at];
    }
};

}  // namespace

int ComputeFingerprint(const std::string& path, FileLen size, size_t prefixSize, uint8_t* block,
                       ReadContext& context, uint64_t& fingerprint) {
    platform::ContentFile file;
    if (const int error = OpenChecked(path, size, context, file); error != 0) return error;
    uint64_t hash = 0;
    const EndBlocks ends(size, prefixSize);
    for (size_t at = 0; at < 2; ++at) {
        if (ends.wants[at] == 0) break;
        const FileLen start = ends.starts[at];
        const size_t want = ends.wants[at];
        const size_t ask = ends.Ask(at, size);
        size_t have = 0;
        while (have < want) {
            if (const int fault = Fault(context, path, IoStep::Read); fault != 0) return fault;
            const long got = file.ReadAt(block + have, ask - have, start + have);
            if (got < 0) return static_cast<int>(-got);
            if (got == 0) return kContentChanged;
            have += static_cast<size_t>(got);
        }
        if (have > want) return kContentChanged;
        context.Count(have);
        hash = MixBlock(hash + start, block, have);
    }
    fingerprint = hash;
    return 0;
}

void ComputeFingerprints(std::span<FingerprintRead> reads, size_t prefixSize, uint8_t* spare,
                         ReadContext& context) {
    // Planted faults are met one call at a time, as the tests that plant them expect.
    const bool batch =
        (context.faultHook == nullptr || !*context.faultHook) && platform::PieceReadsBatched();
    std::vector<platform::PieceRead> pieces;
    if (batch) {
        pieces.resize(reads.size());
        for (size_t i = 0; i < reads.size(); ++i) {
            const FingerprintRead& read = reads[i];
            const EndBlocks ends(read.size, prefixSize);
            platform::PieceRead& piece = pieces[i];
            piece.path = read.path.c_str();
            piece.size = read.size;
            piece.buffers[0] = read.block;
            piece.buffers[1] = spare + i * (prefixSize + 1);
            for (size_t at = 0; at < 2; ++at) {
                piece.offsets[at] = ends.starts[at];
                piece.lengths[at] = static_cast<uint32_t>(ends.Ask(at, read.size));
            }
        }
        platform::ReadPieces(pieces);
    }
    for (size_t i = 0; i < reads.size(); ++i) {
        FingerprintRead& read = reads[i];
        if (!batch || !pieces[i].done) {
            read.error = ComputeFingerprint(read.path, read.size, prefixSize, read.block, context,
                                            read.fingerprint);
            continue;
        }
        const platform::PieceRead& piece = pieces[i];
        read.error = piece.error;
        if (read.error != 0) continue;
        const EndBlocks ends(read.size, prefixSize);
        uint64_t hash = 0;
        for (size_t at = 0; at < 2 && ends.wants[at] != 0; ++at) {
            // A file that shrank or grew since its size was read.
            if (piece.got[at] != ends.wants[at]) {
                read.error = kContentChanged;
                break;
            }
            context.Count(ends.wants[at]);
            hash = MixBlock(hash + ends.starts[at], piece.buffers[at], ends.wants[at]);
        }
        read.fingerprint = hash;
    }
}

}  // namespace merravine
