// The search job: the settings that steer a search, the result groups, the progress
// counters, the path being scanned and the state of the one search thread.
//
// Threads and what they may touch:
// - The UI thread runs the commands (search_commands.h). They read the counters and
//   `state` (atomics, relaxed: no ordering between them is relied on), copy
//   `scanningPath` under its own small lock, and change `state` only by the
//   transitions the commands allow.
// - One search thread at a time runs SearchThreadMain; only it returns `state` to
//   W_READY. It changes `settings` never and reads them without a lock: the UI thread
//   changes the settings only while the state is W_READY.
// - `groups` is guarded by the groups lock (LockGroups()): the search thread holds it while it
// clears
//   and rebuilds the groups, result delivery while it builds rows, deletion and the
//   history loader while they change them. Nobody holds it while waiting for a page.
// - Hash workers of a running search never touch `groups`; they read `state` to hold
//   on a pause and stop on an abort.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "search/problem_paths.h"
#include "search/scan_estimate.h"
#include "search/size_groups.h"
#include "settings/search_settings.h"
#include "util/serial_executor.h"

namespace merravine {

/// The state of the search job (the same values as the pages' WorkState).
enum WorkState : int32_t {
    W_READY = 0,
    W_PRESEARCH = 1,
    W_SEARCH = 2,
    W_PAUSE = 3,
    W_ABORT = 4,
};

/// Which step of reading a file an injected fault applies to.
enum class IoStep { Open, Read };

/// Test seam: called before a file is opened and before each read of its content;
/// a non-zero result is taken as the errno of a failed call.
using IoFaultHook = std::function<int(const std::string& path, IoStep step)>;

/// The stages of content reading that decide a file's outcome.
enum class ReadStage { FirstRead, Comparison };

/// Test seam: called as a stage publishes a file's result; true makes the stage lose
/// it (as a bookkeeping fault would), which the end-of-search balance must catch.
using StageFaultHook = std::function<bool(ReadStage stage, const std::string& path)>;

/// How the content reading of a search is tuned; the results never depend on it.
/// When file contents are read in the order they lie on the disk, by one reader.
enum class DiskOrder : uint8_t {
    Auto,  ///< when a search folder lies on a disk that rotates
    Always,
    Never,
};

struct SearchTuning {
    int hashThreads = 0;  ///< hash workers; 0 means one per core
    int walkThreads = 0;  ///< threads listing folders; 0 means one per core, up to 4
    DiskOrder diskOrder = DiskOrder::Auto;
    size_t readBufferSize = 128 << 10;  ///< bytes per read of a whole file
    size_t prefixSize = 4096;           ///< bytes compared at each end before a whole read
    uint32_t bucketWalkLimit = 8;       ///< same-size files matched by a walk rather than a table
    /// Reads queued at which the walk waits until half of them are taken: a walk far
    /// ahead of the reads only makes the queue, and its memory, longer.
    size_t maxQueuedJobs = 16384;
    bool readTimes = true;  ///< read the times of the files that have a twin
    /// Give the heap's free pages back after a search (a process that ends with its
    /// search has no use for it).
    bool releaseHeap = true;
    /// Count the names below the search folders on a thread of its own while the walk
    /// runs, when no earlier scan tells how long the walk is. It costs a listing of
    /// every folder by names: worth it where the remaining time is shown.
    bool countNamesAhead = false;
    /// The content-key cache file; empty reads every file as if no scan had come before.
    std::string cachePath;
};

/// The search job. Other subsystems start, stop and read it through the functions
/// and accessors below; its threads, locks and hooks belong to src/search.
struct SearchEngine {
    SearchEngine() = default;
    SearchEngine(const SearchEngine&) = delete;
    SearchEngine& operator=(const SearchEngine&) = delete;
    /// Aborts a running search and waits for it, its cache save and every delivery.
    ~SearchEngine();

    SearchSettings settings;

    /// The result groups, sorted by size; touched only while LockGroups() is held.
    std::vector<SizeGroup> groups;

    std::atomic<int32_t> totalNumber{0};      ///< files accepted by the counting pass
    std::atomic<int32_t> scanNumber{0};       ///< files recorded by the search pass or a load
    std::atomic<int32_t> duplicateNumber{0};  ///< see the search thread for its two meanings
    std::atomic<int32_t> state{W_READY};      ///< a WorkState value
    std::atomic<int32_t> loadedRecordId{0};   ///< history record last loaded

    std::atomic<int32_t> unreadableNumber{0};  ///< files whose content could not be read
    std::atomic<int32_t> unlistableNumber{0};  ///< folders that could not be listed
    std::atomic<int32_t> vanishedNumber{0};    ///< entries gone before they could be examined
    std::atomic<uint64_t> bytesRead{0};        ///< content bytes read by the last search
    /// Progress of the content reading, in bytes: what the reads handed to the workers
    /// are expected to cost, and the part of it behind them (bytes read, plus what a
    /// read planned but did not need: an answer from the cache, an early difference).
    std::atomic<uint64_t> bytesPlanned{0};
    std::atomic<uint64_t> bytesCredited{0};   ///< planned bytes a finished read did not need
    std::atomic<uint64_t> bytesEscalated{0};  ///< of bytesPlanned: whole reads after a first read
    std::atomic<uint32_t> firstReadsPlanned{0};  ///< files handed over for a first read
    std::atomic<uint32_t> firstReadsDone{0};     ///< of those, the ones read (or answered)
    std::atomic<uint32_t> firstReadsCached{0};   ///< of those, the ones the cache answered
    std::atomic<uint64_t> bytesCached{0};  ///< of bytesPlanned: first reads the cache answered
    /// The part of the folder trees walked, in millionths, judged by their shape: each
    /// folder's subfolders share its part equally.
    std::atomic<uint32_t> walkedShare{0};
    std::atomic<bool> walkDone{false};  ///< the walk of the running search is over
    /// Entries the walk examined so far, and the count of them made ahead of it (0
    /// while that count is not made or not finished): their ratio is the part walked.
    std::atomic<uint64_t> namesListed{0};
    std::atomic<uint64_t> namesAhead{0};
    ProblemPaths problems;  ///< paths behind unreadableNumber and unlistableNumber (bounded)
    /// The last search ended before it had looked at every file (stopped, or the limit on
    /// duplicates reached): its results are partial.
    std::atomic<bool> partial{false};
    /// Files of the last search that reached no outcome, or more than one: always 0
    /// unless the search itself is at fault (each is logged as an error).
    std::atomic<int32_t> unbalancedNumber{0};

    SearchTuning tuning;

    /// Starts the progress estimate of a search (search thread, as the search starts),
    /// with the totals of the previous scan of the same folders when they are known.
    /// `caching`: the search writes the content-key cache at its end.
    void StartEstimate(ScanHistory previous, bool caching);
    /// How far the running search has come and the seconds it still needs, measured
    /// now (any thread).
    ScanEstimate Estimate();
    /// What the running search has done, read now (any thread).
    ScanSample Sample();

    /// A copy of the folder or file the search is at (consistent, maybe not the newest).
    std::string ScanningPath() const;
    void SetScanningPath(std::string_view text);

    /// Holds the result groups for the caller until the lock goes.
    [[nodiscard]] std::unique_lock<std::mutex> LockGroups() const {
        return std::unique_lock(groupsMutex_);
    }

    /// Sets what runs on the search thread after a search that was not aborted has
    /// pruned its groups, with the groups held, so the history can store the scan.
    void SetOnSearchFinished(std::function<void(const SearchEngine&)> hook) {
        onSearchFinished_ = std::move(hook);
    }

    /// Runs `work` on the delivery thread, after the deliveries asked before it.
    void StartDelivery(std::function<void()> work) { deliveries_.Post(std::move(work)); }
    /// Waits for every delivery asked so far.
    void JoinDeliveries() { deliveries_.Drain(); }

    /// Runs `save` on the thread that writes the content cache after a search's results
    /// are out, after the saves asked before it.
    void StartCacheSave(std::function<void()> save) { cacheSaves_.Post(std::move(save)); }
    /// Waits for every cache save asked so far: a search, a clear and the program's end
    /// touch the cache file only after it.
    void WaitForCacheSave() { cacheSaves_.Drain(); }

    /// Waits until `state` holds `wanted`.
    void AwaitState(int32_t wanted);

    /// Test seams (set while no search runs).
    void SetIoFaultHook(IoFaultHook hook) { ioFaultHook_ = std::move(hook); }
    void SetStageFaultHook(StageFaultHook hook) { stageFaultHook_ = std::move(hook); }

  private:
    friend struct EngineInternals;

    mutable std::mutex groupsMutex_;
    std::function<void(const SearchEngine&)> onSearchFinished_;
    IoFaultHook ioFaultHook_;
    StageFaultHook stageFaultHook_;
    // The state a resume returns to: the pass that was running when the pause came.
    std::atomic<int32_t> resumeState_{W_SEARCH};
    // Wakes every thread that waits for a state change or a hash result.
    std::mutex signalMutex_;
    std::condition_variable signal_;
    std::function<void()> stateWake_;  // also woken by a state change; under signalMutex_
    std::thread searchThread_;
    SerialExecutor deliveries_;
    SerialExecutor cacheSaves_;
    std::mutex estimateMutex_;
    std::chrono::steady_clock::time_point searchStart_;
    ScanEstimator estimator_;
    mutable std::mutex scanningPathMutex_;
    std::string scanningPath_;
};

/// Sets `state` and wakes the waiting threads.
void ChangeState(SearchEngine& engine, int32_t to);
/// Changes `state` from `from` to `to` only if it still holds `from`; wakes waiters.
bool ChangeStateIf(SearchEngine& engine, int32_t from, int32_t to);

/// While the state is W_PAUSE, waits (up to a second between looks, woken early by a
/// state change). Returns false when the state is W_ABORT.
bool HoldWhilePaused(SearchEngine& engine);

/// The body of the search thread: one whole search, from clearing the old results to
/// W_READY. Expects the state W_PRESEARCH. Never throws.
void SearchThreadMain(SearchEngine& engine);

/// Starts a search thread when the state is W_READY and the settings allow a search;
/// returns false when a search was already running.
bool StartSearch(SearchEngine& engine);

/// The settings that decide which files a search meets, hashed: searches with one key
/// have the same work to do unless the files changed (the previous scan is kept by it).
uint64_t ScanKey(const SearchSettings& settings);

/// Waits until the search thread, if any, has ended.
void WaitForSearch(SearchEngine& engine);

}  // namespace merravine
