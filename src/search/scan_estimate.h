// How far a search has come and how long it still needs, from what it has done so
// far: the walk (files found, and the part of the folder trees behind it) and the
// content reading (first reads of files that share their size, bytes planned for the
// reads handed to the workers, bytes done).
//
// Work is counted in bytes: a file found counts as kFileWork bytes, a first read as
// kOpenWork bytes beside the bytes it reads, and the end of the search (building the
// results, writing the cache) as kFinishWork bytes a file. First reads still to come
// are expected to lead to as many bytes of whole reads as those done so far did, and
// to be answered by the cache as often; an answer from the cache costs nothing. No
// time is told before the first reads have begun (or the walk has ended).
// Until the walk ends, the totals are projected from the part of the files found: the
// files of the previous scan of the same folders when it is known, else the part of
// the folder trees walked. Once every read is done, the end goes on at the rate reached.
// Whole reads follow pairs of files, both of which must have
// been found, so their bytes are projected by the square of that part. The time left
// is the work left at the rate of the last few seconds; the total duration this
// gives is smoothed over about a second, so one slow or quick moment does not make
// the shown time jump.
//
// A pure calculation: fed samples, it answers; tests feed it made-up sequences.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace merravine {

/// What a search has done, as read at one moment.
struct ScanSample {
    double seconds = 0;     ///< since the search started
    bool walkDone = false;  ///< every file has been found
    double walked = 0;      ///< part of the folder trees walked, 0 to 1
    uint64_t files = 0;     ///< files found so far
    uint64_t bytesPlanned = 0;
    uint64_t bytesDone = 0;       ///< of bytesPlanned
    uint64_t bytesEscalated = 0;  ///< of bytesPlanned: whole reads that followed first reads
    uint64_t firstReads = 0;      ///< files handed over for a first read
    uint64_t firstReadsDone = 0;
    uint64_t firstReadsCached = 0;  ///< of firstReadsDone: answered by the cache, not read
    uint64_t bytesCached = 0;       ///< of bytesPlanned and bytesDone: those answers' bytes
};

/// What is known of the previous scan of the same folders (zero: nothing).
struct ScanHistory {
    uint64_t files = 0;  ///< files it found
};

struct ScanEstimate {
    int32_t permille = 0;           ///< progress, 0 to 1000
    int32_t remainingSeconds = -1;  ///< -1 while nothing can be said yet
};

class ScanEstimator {
  public:
    /// Bytes whose reading costs about as much as finding one file.
    static constexpr double kFileWork = 4096;
    /// Bytes whose reading costs about as much as opening a file for its first read.
    static constexpr double kOpenWork = 12288;

    /// `caching`: the search writes the content-key cache at its end, which costs about
    /// as much per file as reading kFinishWork bytes (else a tenth of that).
    explicit ScanEstimator(ScanHistory previous = {}, bool caching = false)
        : previous_(previous), finishWork_(caching ? kFinishWork : kFinishWork / 10) {}

    /// The estimate after `sample`; samples come in time order.
    ScanEstimate Update(const ScanSample& sample);

    static constexpr double kFinishWork = 4096;

  private:
    ScanHistory previous_;
    double finishWork_;
    double lastSeconds_ = 0;
    double readEndSeconds_ = -1;  // when every read was done; -1 while some are left
    double readEndRate_ = 0;      // work a second at that moment
    std::deque<std::pair<double, double>> recent_;  // seconds and work done, the last few s
    double smoothedTotal_ = -1;  // seconds the whole search takes, smoothed; -1 none yet
    int32_t permille_ = 0;
};

}  // namespace merravine
