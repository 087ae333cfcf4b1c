// Content reading of one search, on worker threads while the walk goes on.
//
// Files are put into buckets by size as the walk accepts them. A bucket's first file
// is handed to the workers when its second arrives, later ones at once; a file of a
// unique size is never opened. A worker reads a file of up to 32 bytes whole (its
// content is its key); a file no larger than a block is read whole too, but digested
// only when another file of its size has the same content fingerprint (most have
// none); of a larger file it reads only the first and last block, and the whole file
// is read only when another file of the bucket has the same end blocks. Names of one
// inode (hard links) are read once: later names are aliases of the first. Of the
// files of one size and end blocks, the first read whole is the reference: the others
// are compared with it byte for byte and take its key when equal, so a set of
// identical files costs one digest, and its members are proven equal rather than only
// alike in MD5. The reference is read once for all the files queued with it, so a
// set's files are each read once when they are queued together, and it is digested
// only as long as one of them still equals it. A file that differs from it is read no
// further: its fingerprint is refined by where and how it differs, and it is matched
// again with the other files of its size like after its first read.
//
// A file without a key is Distinct once nothing in its size can change any more: the
// walk is over and no read of a file of that size is queued or running.
//
// Balance: every file taken in ends in exactly one outcome. The stages count the
// outcomes they publish; once the workers have stopped, CheckBalance compares those
// counts with what every file holds and finds any read still owing. A file the
// search thread waits for while nothing is left to run (a stage lost it) is given up
// at once rather than waited for forever, and counts as out of balance.
//
// The search thread then asks, file by file in walk order, for each file's outcome;
// the order of results therefore never depends on which worker finished first.
//
// Threading: every field below is guarded by the pipeline's own mutex (a state
// change wakes the search thread waiting on it), except the files the walk has not
// handed over yet, which only the walk touches.
// Workers read the listing entries handed to them; only the search thread appends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>
#include <unordered_map>
#include <vector>

#include "search/content_cache.h"
#include "search/content_key.h"
#include "search/file_record.h"
#include "search/listing.h"
#include "search/search_engine.h"
#include "search/u64_table.h"
#include "util/hash_mix.h"

namespace merravine {

/// What the search learned about one file's content.
enum class ContentOutcome : uint8_t {
    Empty,       ///< 0 bytes: never read, equal to every other empty file
    Single,      ///< no other file has its size: never read
    Distinct,    ///< its content differs from every other file of its size
    Keyed,       ///< its content key is known
    Unreadable,  ///< it could not be read (or changed while read): it leaves the search
    Aborted,     ///< the search was aborted before the outcome was known
};

class HashPipeline {
  public:
    /// `cache` (may be null) answers for files that did not change since an earlier scan.
    HashPipeline(SearchEngine& engine, const Listing& listing, ContentCache* cache = nullptr);
    ~HashPipeline();
    HashPipeline(const HashPipeline&) = delete;
    HashPipeline& operator=(const HashPipeline&) = delete;

    /// Walk: file `index` (already in the listing) was accepted. Files are handed to
    /// the workers a few at a time, and all of them by FinishWalk.
    void AddFile(uint32_t index, uint64_t device, uint64_t inode, uint32_t links,
                 int64_t modifyNs = 0, int64_t changeNs = 0);
    /// Walk: no more files will come.
    void FinishWalk();
    /// Search pass: waits for the outcome of file `index`; sets `key` when Keyed.
    ContentOutcome WaitOutcome(uint32_t index, ContentKey& key);
    /// Stops and joins the workers (an unfinished read ends at its next block).
    void Stop();

    /// After Stop: checks that every file taken in reached exactly one outcome (the
    /// outcomes the stages published agree with what each file holds, and no read is
    /// left owing). Returns the number of files out of balance and logs each fault as
    /// an error. A search cut short (stopped, or ended at its limit) may leave files
    /// without an outcome.
    uint32_t CheckBalance(bool cutShort) const;

    /// After Stop: frees the tables that match files while contents are read (the
    /// outcomes stay), so what follows has their memory.
    void ReleaseMatching();

    /// After Stop: the outcome and key of file `index` without waiting; `sha` gets the
    /// SHA-256 that goes with the key when the cache is used (else zero).
    ContentOutcome FinalOutcome(uint32_t index, ContentKey& key, ContentKey* sha = nullptr) const;
    /// After Stop: hands the cache what this search learned (also when aborted) and
    /// which of its entries were used.
    void CollectForCache(ContentCache& cache) const;
    /// After Stop: calls `visit(size, firstIndex)` for each bucket of two or more
    /// files, where the bucket's files follow Next() in walk order.
    template <typename Visit>
    void ForEachSharedSize(Visit&& visit) const {
        for (const auto& [size, bucket] : buckets_) {
            if (bucket.count >= 2) visit(size, bucket.head);
        }
    }
    /// After Stop: the next file of the same size in walk order, or kNone.
    uint32_t Next(uint32_t index) const { return slots_[index].next; }

    static constexpr uint32_t kNone = UINT32_MAX;
    static constexpr uint8_t kFromCacheFingerprint = 1;
    static constexpr uint8_t kFromCacheKey = 2;
    static constexpr uint8_t kCacheSeenToday = 4;  // beside either: its entry is marked today

  private:
    // kKeying: a small file whose content a worker holds and is digesting.
    // kWholeQueued: in a class, waiting for or in a whole read (a reference too while
    // it is digested). kReference: a class's reference whose key was not wanted yet.
    enum Status : uint8_t {
        kIdle,
        kQueued,
        kPrefixed,
        kKeying,
        kWholeQueued,
        kReference,
        kKeyed,
        kUnreadable
    };
    struct Slot {
        uint64_t fingerprint = 0;
        uint32_t keyId = kNone;    // index into keys_ once the key is known
        uint32_t next = kNone;     // next file of the same size
        uint32_t aliasOf = kNone;  // first name of the same inode
        Status status = kIdle;
        bool hasAliases = false;
        uint8_t cacheUse = 0;  // kFromCacheFingerprint or kFromCacheKey: what the cache answered
        bool refined = false;  // `fingerprint` is no longer that of its end blocks
    };
    struct Bucket {
        uint32_t head = kNone;
        uint32_t tail = kNone;
        uint32_t count = 0;
        uint32_t pending = 0;  // files queued for their first read and not done yet
        uint32_t whole = 0;    // files in kWholeQueued
    };
    struct Job {
        uint32_t index;
        bool whole;
        uint64_t fingerprint;  // of the class, for a whole read
    };
    struct FingerprintKey {
        FileLen size;
        uint64_t fingerprint;
        bool operator==(const FingerprintKey&) const = default;
    };
    struct FingerprintHash {
        size_t operator()(const FingerprintKey& k) const { return MixPair(k.size, k.fingerprint); }
    };
    /// The file stored for a fingerprint (or kMany), or `index` stored; second is true when stored.
    std::pair<uint32_t*, bool> FindOrAddFingerprint(FileLen size, uint64_t fingerprint,
                                                    uint32_t index) {
        return fingerprints_.TryEmplace(FingerprintHash{}(FingerprintKey{size, fingerprint}),
                                        index);
    }
    struct InodeKey {
        uint64_t device;
        uint64_t inode;
        FileLen size;
        bool operator==(const InodeKey&) const = default;
    };
    struct InodeHash {
        size_t operator()(const InodeKey& k) const {
            return MixPair(k.inode, k.device ^ (k.size << 17));
        }
    };

    // The files of one size and fingerprint that are read whole. The first file read
    // is the reference: it is digested while the files queued with it are compared
    // with it; files that come later are compared with it in batches.
    struct FileClass {
        uint32_t reference = kNone;    // the file the others are compared with
        bool referenceKeyed = false;   // its key is known
        bool digesting = false;        // a batch reads it while its key is not known
        bool keyWanted = false;        // it has a twin by inode: read it for its key
        bool scheduled = false;        // a job for this class is in jobs_
        std::vector<uint32_t> queued;  // files waiting for a whole read, in escalation order
    };
    // What a worker takes from a class for one whole read.
    struct ClassBatch {
        FileLen size = 0;
        uint32_t reference = kNone;
        uint64_t fingerprint = 0;  // of the class
        bool digest = false;       // the reference's key is not known yet
        bool force = false;        // its key is wanted whatever the members hold
        ContentKey key;            // the reference's key when it is known
        ContentKey sha;            // and its SHA-256 (cache on)
        std::string referencePath;
        std::vector<uint32_t> members;
        std::vector<CompareMember> compared;  // the members' paths and outcomes
    };

    // A file the walk accepted and has not handed over yet.
    struct Added {
        uint32_t index;
        uint32_t links;
        uint64_t device;
        uint64_t inode;
        int64_t modifyNs;
        int64_t changeNs;
    };

    void HandOver();
    void Take(const Added& added);
    // The outcome of one first read, published with those of the same batch.
    struct FirstResult {
        uint32_t index = kNone;
        FileLen size = 0;
        int error = 0;
        bool keyed = false;      // `key` holds its raw content (or the cache's key)
        bool cached = false;     // taken from the cache: nothing was read
        bool seenToday = false;  // and its entry needs no new mark
        bool digest = false;     // a small file whose key is wanted: `held` is digested
        uint64_t fingerprint = 0;
        const uint8_t* held = nullptr;
        ContentKey key;
        ContentKey sha;
    };
    // A worker's first reads of one turn.
    struct FirstReadBatch {
        std::vector<uint32_t> indices;
        std::vector<FirstResult> results;
        std::vector<uint8_t> held;   // a block per file
        std::vector<uint8_t> spare;  // a block per file, for the last block
        std::vector<FingerprintRead> reads;
    };

    void WorkerMain();
    void FirstReads(FirstReadBatch& firsts, HashScratch& scratch, ReadContext& context);
    void OrderForDisk(std::vector<uint32_t>& indices) const;
    size_t FirstReadShare() const;
    size_t PrefixSize() const { return std::max<size_t>(engine_.tuning.prefixSize, 1); }
    // Progress in bytes: what a first read of a file costs, a read planned, and a
    // finished job's reads set against what was planned for it.
    FileLen FirstReadBytes(FileLen size) const { return std::min<FileLen>(size, 2 * PrefixSize()); }
    void Plan(FileLen bytes) { engine_.bytesPlanned.fetch_add(bytes, std::memory_order_relaxed); }
    void SettleProgress(FileLen planned, ReadContext& context);
    void ReadBatch(ClassBatch& batch, HashScratch& scratch, ReadContext& context);
    bool TakeBatch(const FingerprintKey& class_key, ClassBatch& batch);
    void FinishBatch(const ClassBatch& batch, int referenceError, bool keyed, const ContentKey& key,
                     const ContentKey& sha);
    void Refine(uint32_t index, uint64_t divergence, const Bucket& bucket);
    FileClass& ClassOf(uint32_t index) {
        return classes_[FingerprintKey{listing_.files[index].size, slots_[index].fingerprint}];
    }
    void SetKey(uint32_t index, const ContentKey& key, const ContentKey& sha);
    FileFacts FactsOf(uint32_t index) const;
    // What the cache is to keep of a file: nothing, that its entry was used, or a new
    // entry with its key or with only its fingerprint.
    enum class CacheUse : uint8_t { None, Seen, Keyed, Fingerprint };
    CacheUse ForCache(uint32_t index) const;
    // A first read the cache can answer; true when `result` holds the answer.
    bool FromCache(FirstResult& result);
    void SetUnreadable(uint32_t index);
    bool Awaited(FileLen size) const;  // the search thread waits for a file of this size
    void Schedule(FileClass& file_class, uint32_t index);
    void PushJob(Job job);
    void Queue(uint32_t index, Bucket& bucket);
    bool AfterFirstRead(uint32_t index, bool inHand, const Bucket& bucket);
    static bool Fingerprinted(Status status) {
        return status == kPrefixed || status == kKeying || status == kWholeQueued ||
               status == kReference || status == kKeyed;
    }
    void MoveToFingerprintTable(const Bucket& bucket, FileLen size);
    void Escalate(uint32_t index);
    bool Settled(uint32_t index) const;
    // Nothing can change any more: the walk is over, no job waits and no worker reads.
    bool Quiet() const { return walkDone_ && jobs_.empty() && busy_ == 0; }
    bool StageLoses(ReadStage stage, uint32_t index) const;
    uint32_t Primary(uint32_t index) const {
        return slots_[index].aliasOf == kNone ? index : slots_[index].aliasOf;
    }

    SearchEngine& engine_;
    const Listing& listing_;
    ChunkedVector<Slot> slots_;
    ChunkedVector<ContentKey> keys_;  // only files whose key was needed have one
    ChunkedVector<ContentKey> shas_;  // beside keys_: the SHA-256 of the content (cache on)
    ContentCache* cache_;
    // What the cache matches beside the size and path (known from the listing), for
    // every file taken in when there is a cache.
    struct Identity {
        uint64_t device;
        uint64_t inode;
        int64_t modifyNs;
        int64_t changeNs;
    };
    ChunkedVector<Identity> facts_;
    std::unordered_map<FileLen, Bucket> buckets_;
    U32KeyTable fingerprints_;  // of the files of crowded buckets: a file, or kMany
    std::unordered_map<InodeKey, uint32_t, InodeHash> inodes_;
    std::unordered_map<FingerprintKey, FileClass, FingerprintHash> classes_;
    std::vector<Added> added_;  // walk thread only
    uint32_t awaited_ = kNone;  // the file the search thread waits for
    uint32_t scanLimit_;        // buckets up to this size are walked to match fingerprints
    // Reads go in the order the files lie on a rotating disk, by one worker taking
    // larger batches of first reads.
    const bool diskOrder_;
    const size_t workerCount_;
    const size_t membersPerPass_;  // open files of a comparison pass, less its reference
    std::mutex mutex_;
    std::condition_variable outcomes_;  // an outcome is known, or the state changed
    std::deque<Job> jobs_;
    std::condition_variable jobsReady_;
    bool walkDone_ = false;
    size_t busy_ = 0;  // workers holding jobs they took
    // Outcomes as the stages published them, for the balance at the end.
    uint64_t keyedCount_ = 0;
    uint64_t unreadableCount_ = 0;
    bool stopping_ = false;
    std::atomic<bool> stopping_flag_{false};  // read by workers between blocks
    std::vector<std::thread> workers_;
};

}  // namespace merravine
