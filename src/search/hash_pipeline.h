// Content reading of one search, on worker threads while the walk goes on.
//
// Content flows through the stages below, each with its own data in its own files:
//   SizeBuckets       files by size and hard-link aliases, in walk order;
//   (first reads)     the workers read the first and last block of a file (a file of
//                     up to 32 bytes whole: its content is its key);
//   FingerprintStage  fingerprints matched within a size: files that agree go on;
//   ComparisonStage   files of one size and fingerprint compared whole with a
//                     reference; equal ones share its key, one that differs is refined
//                     and matched again;
//   KeyStore          the content keys found.
// This class is the coordinator: it takes the walk's files in, runs the workers, and
// hands each file from one stage to the next, recording where each file is (its
// status) and what each stage took in and gave out (StageBalance).
//
// A bucket's first file is handed to the workers when its second arrives, later ones at
// once; a file of a unique size is never opened. A file no larger than a block is read
// whole at its first read, but digested only when another file of its size has the same
// fingerprint (most have none). Names of one inode are read once: later names are
// aliases of the first. A file without a key is Distinct once nothing in its size can
// change any more: the walk is over and no read of a file of that size is queued or
// running.
//
// Balance: every file taken in ends in exactly one outcome. Once the workers have
// stopped, CheckBalance compares the outcomes published with what every file holds,
// closes each stage's account (and names a stage that lost a file), and finds any read
// still owing. A file the search thread waits for while nothing is left to run (a stage
// lost it) is given up at once rather than waited for forever, and counts as out of
// balance.
//
// The search thread then asks, file by file in walk order, for each file's outcome;
// the order of results therefore never depends on which worker finished first.
//
// Threading: the stages know nothing of threads. The coordinator calls them under its
// one mutex, so a file's hand-off from one stage to the next is seen whole (the search
// thread never finds a file between two stages and takes it for settled); the workers
// read and compare without it. The files the walk has not handed over yet only the walk
// touches. Workers read the listing entries handed to them; only the search thread appends.
// The walk waits while `maxQueuedJobs` reads are queued, until the workers took half.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "search/comparison_stage.h"
#include "search/content_cache.h"
#include "search/content_key.h"
#include "search/file_record.h"
#include "search/fingerprint_stage.h"
#include "search/key_store.h"
#include "search/listing.h"
#include "search/search_engine.h"
#include "search/size_buckets.h"
#include "search/stage_balance.h"

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
    /// outcomes published agree with what each file holds, each stage's account
    /// closes, and no read is left owing). Returns the number of files out of balance
    /// and logs each fault as an error. A search cut short (stopped, or ended at its
    /// limit) may leave files without an outcome.
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
        sizes_.ForEach([&](FileLen size, const SizeBuckets::Bucket& bucket) {
            if (bucket.count >= 2) visit(size, bucket.head);
        });
    }
    /// After Stop: the next file of the same size in walk order, or kNone.
    uint32_t Next(uint32_t index) const { return sizes_.Next(index); }

    static constexpr uint32_t kNone = UINT32_MAX;
    static constexpr uint8_t kFromCacheFingerprint = 1;
    static constexpr uint8_t kFromCacheKey = 2;
    static constexpr uint8_t kCacheSeenToday = 4;  // beside either: its entry is marked today

  private:
    // Where a file is. kQueued: waiting for or in its first read. kPrefixed: in the
    // fingerprint stage. kKeying: a small file whose content a worker holds and is
    // digesting. kWholeQueued: in a class, waiting for or in a whole read (a reference
    // too while it is digested). kReference: a class's reference whose key was not
    // wanted yet.
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
    struct Job {
        uint32_t index;  // the file, or for a whole read any file of its class
        bool whole;
        uint64_t fingerprint;  // of the class, for a whole read
    };
    // What a worker takes from a class for one whole read.
    struct ClassBatch {
        ClassKey classKey{0, 0};
        ComparisonBatch taken;
        bool force = false;  // the reference's key is wanted whatever the members hold
        ContentKey key;      // the reference's key when it is known
        ContentKey sha;      // and its SHA-256 (cache on)
        std::string referencePath;
        std::vector<CompareMember> compared;  // the members' paths and outcomes
        int referenceError = 0;               // the comparison's result
        bool keyed = false;                   // `key` is the reference's, computed now
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
    void PublishFirstReads(FirstReadBatch& firsts, bool& digest, bool& wake);
    void OrderForDisk(std::vector<uint32_t>& indices) const;
    size_t FirstReadShare() const;
    size_t PrefixSize() const { return std::max<size_t>(engine_.tuning.prefixSize, 1); }
    // Progress in bytes: what a first read of a file costs, a read planned, and a
    // finished job's reads set against what was planned for it.
    FileLen FirstReadBytes(FileLen size) const { return std::min<FileLen>(size, 2 * PrefixSize()); }
    void Plan(FileLen bytes) { engine_.bytesPlanned.fetch_add(bytes, std::memory_order_relaxed); }
    void SettleProgress(FileLen planned, ReadContext& context);
    // How much of its reference a class batch digests.
    static ReferenceDigest DigestOf(const ClassBatch& batch) {
        return !batch.taken.digest ? ReferenceDigest::None
               : batch.force       ? ReferenceDigest::Always
                                   : ReferenceDigest::WhileEqual;
    }
    void ReadBatches(std::vector<ClassBatch>& batches, HashScratch& scratch, ReadContext& context);
    void CompareBatch(ClassBatch& batch, HashScratch& scratch, ReadContext& context);
    bool TakeBatch(const ClassKey& key, ClassBatch& batch);
    void FinishBatch(const ClassBatch& batch, int referenceError, bool keyed, const ContentKey& key,
                     const ContentKey& sha);
    void Refine(uint32_t index, uint64_t divergence, const SizeBuckets::Bucket& bucket);
    ClassKey ClassOf(uint32_t index) const {
        return ClassKey{listing_.files[index].size, fingerprints_.Of(index)};
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
    void PushJob(Job job);
    void Queue(uint32_t index, SizeBuckets::Bucket& bucket);
    bool Match(uint32_t index, bool inHand, const SizeBuckets::Bucket& bucket);
    static bool Fingerprinted(Status status) {
        return status == kPrefixed || status == kKeying || status == kWholeQueued ||
               status == kReference || status == kKeyed;
    }
    void Escalate(uint32_t index);
    bool Settled(uint32_t index) const;
    // Nothing can change any more: the walk is over, no job waits and no worker reads.
    bool Quiet() const { return walkDone_ && jobs_.empty() && busy_ == 0; }
    bool StageLoses(ReadStage stage, uint32_t index) const;

    SearchEngine& engine_;
    const Listing& listing_;
    ContentCache* cache_;
    // Reads go in the order the files lie on a rotating disk, by one worker taking
    // larger batches of first reads.
    const bool diskOrder_;
    const size_t workerCount_;
    // The stages, in the order content flows through them.
    SizeBuckets sizes_;
    FingerprintStage fingerprints_;
    ComparisonStage comparison_;
    KeyStore keys_;
    StageBalance balance_;
    ChunkedVector<Status> status_;  // where each file is
    // With the cache: kFromCacheFingerprint or kFromCacheKey, what the cache answered
    // for each file, and what the cache matches beside the size and path (known from
    // the listing).
    ChunkedVector<uint8_t> cacheUse_;
    struct Identity {
        uint64_t device;
        uint64_t inode;
        int64_t modifyNs;
        int64_t changeNs;
    };
    ChunkedVector<Identity> facts_;
    std::vector<Added> added_;  // walk thread only
    uint32_t awaited_ = kNone;  // the file the search thread waits for
    std::mutex mutex_;
    std::condition_variable outcomes_;  // an outcome is known, or the state changed
    std::deque<Job> jobs_;
    std::condition_variable jobsReady_;
    bool walkDone_ = false;
    bool walkWaits_ = false;  // the walk waits for the queue to shorten
    size_t busy_ = 0;         // workers holding jobs they took
    // Outcomes as they were published, for the balance at the end.
    uint64_t keyedCount_ = 0;
    uint64_t unreadableCount_ = 0;
    bool stopping_ = false;
    std::atomic<bool> stopping_flag_{false};  // read by workers between blocks
    std::vector<std::thread> workers_;
};

}  // namespace merravine
