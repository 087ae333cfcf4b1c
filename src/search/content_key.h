// Reading a file's content into what the search compares: the content key (raw
// content up to 32 bytes, else the MD5 text of the whole file) and, before a whole
// read, a fingerprint of the first and last block that tells most same-size files
// apart without reading them whole.
//
// Every function here runs on a hash worker and touches nothing shared but the
// engine's state (through `keepGoing`) and the injected fault hook.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "search/file_record.h"
#include "search/md5.h"
#include "search/search_engine.h"
#include "search/sha256.h"

namespace merravine {

/// One worker's reusable read buffers and digest. A whole read goes by blocks one byte
/// shorter than the smaller buffer (the last block asks for one byte more).
struct HashScratch {
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> other;  ///< the second file of a comparison
    Md5 md5;
    Sha256 sha;
};

/// errno-like result of a read: 0, an errno, or kContentChanged.
inline constexpr int kContentChanged = -1;
/// A read stopped because the search was aborted.
inline constexpr int kReadAborted = -2;

struct ReadContext {
    const IoFaultHook* faultHook = nullptr;
    /// Called before each block of a whole read; false stops the read (abort).
    std::function<bool()> keepGoing;
    uint64_t bytesRead = 0;  ///< grows by the bytes read
    /// Where reads are published as they go, a few MiB at a time (may be null), so a
    /// long read shows its progress before it ends.
    std::atomic<uint64_t>* readCounter = nullptr;
    uint64_t published = 0;  ///< the part of bytesRead already added to readCounter

    void Count(uint64_t bytes) {
        bytesRead += bytes;
        constexpr uint64_t kPublishEvery = 4 << 20;
        if (readCounter != nullptr && bytesRead - published >= kPublishEvery) {
            readCounter->fetch_add(bytesRead - published, std::memory_order_relaxed);
            published = bytesRead;
        }
    }
    bool wantSha = false;  ///< digest whole contents with SHA-256 too (for the cache)
    ContentKey sha;        ///< the SHA-256 that went with the last key computed, when wanted
};

/// Reads the whole file and sets `key` (raw content up to 32 bytes, else its MD5
/// text); the file must still have `size` bytes. Returns 0 or why it failed.
int ComputeKey(const std::string& path, FileLen size, HashScratch& scratch, ReadContext& context,
               ContentKey& key);

/// The fingerprint of the first `prefixSize` bytes and the last `prefixSize` bytes
/// (those not in the first block) of a file of `size` bytes, read into `block` (room
/// for `prefixSize` + 1 bytes). A file of at most `prefixSize` bytes is read whole and
/// its content stays at the start of `block`. Returns 0 or why it failed.
int ComputeFingerprint(const std::string& path, FileLen size, size_t prefixSize, uint8_t* block,
                       ReadContext& context, uint64_t& fingerprint);

/// One file of ComputeFingerprints.
struct FingerprintRead {
    std::string path;
    FileLen size = 0;
    uint8_t* block = nullptr;  ///< room for the prefix size + 1 bytes, as ComputeFingerprint's
    int error = 0;             ///< out: 0 or why it failed
    uint64_t fingerprint = 0;  ///< out
};

/// ComputeFingerprint of several files at once, with the same results, in as few
/// system calls as the system allows. `spare` has room for the prefix size + 1 bytes
/// for each file.
void ComputeFingerprints(std::span<FingerprintRead> reads, size_t prefixSize, uint8_t* spare,
                         ReadContext& context);

/// The content key of `size` bytes of content already in memory.
ContentKey KeyOfContent(const uint8_t* content, FileLen size, Md5& md5);
/// The same into `key`, and its SHA-256 into `sha` when the context wants it.
void DigestContent(const uint8_t* content, FileLen size, HashScratch& scratch,
                   const ReadContext& context, ContentKey& key, ContentKey& sha);

/// One file of a comparison with a reference of the same size.
struct CompareMember {
    std::string path;
    int error = 0;       ///< why it could not be read, or 0
    bool equal = false;  ///< it was read whole and every byte equals the reference's
    /// When it differs: a hash of where it first differs and of its block there. Two
    /// files that differ from one reference can only be equal if these agree.
    uint64_t divergence = 0;
};

/// How much of the reference a comparison digests.
enum class ReferenceDigest : uint8_t {
    None,        ///< its key is known already
    WhileEqual,  ///< as long as a member is still equal to it (its key is wanted only then)
    Always,      ///< all of it
};

/// Reads `referencePath` once, block by block, and compares each member's block with
/// it as it goes, so a set of identical files is read once per file whatever its size.
/// A member that differs stops being read at its first differing block, and the
/// reference stops being read when no member is left and its digest is not needed.
/// `keyed` tells whether the reference's key was computed into `key`. Returns 0, or
/// why the reference could not be read (then no member is equal).
/// A class of files that fit in one block is read with few system calls (each file
/// whole at once, many files a call where the system allows) and compared in memory,
/// with the same outcomes.
int CompareWithReference(const std::string& referencePath, FileLen size, ReferenceDigest digest,
                         std::vector<CompareMember>& members, HashScratch& scratch,
                         ReadContext& context, ContentKey& key, bool& keyed);

/// Whether a class of `size`-byte files is compared in memory, each file read whole at
/// once into the scratch's blocks: it fits in one block, the system batches reads, and
/// no planted fault is to be met one call at a time.
bool ReadsTogether(FileLen size, const HashScratch& scratch, const ReadContext& context);

/// One class of CompareClassesTogether, with CompareWithReference's arguments and results.
struct ClassComparison {
    const std::string* referencePath = nullptr;
    FileLen size = 0;
    ReferenceDigest digest = ReferenceDigest::None;
    std::vector<CompareMember>* members = nullptr;
    ContentKey key;      ///< out: the reference's key, when keyed
    ContentKey sha;      ///< out: its SHA-256, when keyed and wanted
    bool keyed = false;  ///< out
    int result = 0;      ///< out: what CompareWithReference returns
};

/// CompareWithReference of several small classes at once, every file of them read in
/// one batch into the scratch's blocks: as many of the first classes as fit there whole
/// (`compared`; 0 when the first does not), each one that ReadsTogether takes. Returns
/// false when the search was aborted (the results are then incomplete).
bool CompareClassesTogether(std::span<ClassComparison> classes, HashScratch& scratch,
                            ReadContext& context, size_t& compared);

}  // namespace merravine
