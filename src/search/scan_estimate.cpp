#include "search/scan_estimate.h"

#include <algorithm>
#include <cmath>

namespace merravine {
namespace {

// Below this part of the walk, a projection of the totals would be mostly guesswork.
constexpr double kMinWalked = 0.02;
// First reads done before their outcomes say how many whole reads the others bring.
constexpr double kMinFirstReads = 64;
// Before this much is done, the measured rate says little.
constexpr double kMinProgress = 0.01;
constexpr double kMinSeconds = 0.4;
// The time constant, in seconds, of the smoothing of the total duration.
constexpr double kSmoothing = 1.0;
// Seconds over which the rate is measured.
constexpr double kRateWindow = 3.0;

}  // namespace

ScanEstimate ScanEstimator::Update(const ScanSample& sample) {
    const auto files = static_cast<double>(sample.files);
    const auto cached_bytes = static_cast<double>(sample.bytesCached);
    const double planned = std::max(static_cast<double>(sample.bytesPlanned) - cached_bytes, 0.0);
    const auto all_first_reads = static_cast<double>(sample.firstReads);
    const double all_first_done =
        std::min(static_cast<double>(sample.firstReadsDone), all_first_reads);
    const double cached = std::min(static_cast<double>(sample.firstReadsCached), all_first_done);
    // First reads still to come are answered by the cache as often as those done were.
    const double hit_rate = all_first_done > 0 ? cached / all_first_done : 0;
    const double first_done = all_first_done - cached;
    const double first_reads = first_done + (all_first_reads - all_first_done) * (1 - hit_rate);
    const double escalated = std::min(static_cast<double>(sample.bytesEscalated), planned);

    // The part of the files found: all once the walk is over, else against the
    // previous scan while this one has not outgrown it, else the part walked.
    double found = 1;
    if (!sample.walkDone) {
        if (previous_.files > 0 && sample.files < previous_.files) {
            found = files / static_cast<double>(previous_.files);
        } else {
            found = std::clamp(sample.walked, 0.0, 1.0);
        }
        if (found < kMinWalked) return ScanEstimate{permille_, -1};
    }
    // Whole reads still to come from first reads in the queue, at the rate so far.
    const double per_first_read = all_first_done >= kMinFirstReads ? escalated / all_first_done : 0;
    const double whole = escalated + (all_first_reads - all_first_done) * per_first_read;
    const double linear = planned - escalated + kOpenWork * first_reads + kFileWork * files;
    const double total = linear / found + whole / (found * found) + finishWork_ * files / found;
    const double done_bytes = std::max(static_cast<double>(sample.bytesDone) - cached_bytes, 0.0);
    double done = std::min(done_bytes, planned) + kOpenWork * first_done + kFileWork * files;
    // Once every read is done, only the end of the search is left, which shows no count:
    // it is taken to go on at the rate the search had reached.
    const bool read_all =
        sample.walkDone && all_first_done >= all_first_reads && done_bytes >= planned;
    if (!read_all) {
        readEndSeconds_ = -1;
    } else if (readEndSeconds_ < 0) {
        readEndSeconds_ = sample.seconds;
        readEndRate_ = sample.seconds > 0 ? done / sample.seconds : 0;
    } else {
        done = std::min(done + readEndRate_ * (sample.seconds - readEndSeconds_), total);
    }
    const double progress = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0.0;
    // The bar never goes back, and shows full only when the search is over.
    permille_ = std::max(permille_, std::min(999, static_cast<int32_t>(progress * 1000)));

    const double since_last = sample.seconds - lastSeconds_;
    lastSeconds_ = sample.seconds;
    const bool reading = sample.walkDone || all_first_done >= kMinFirstReads;
    if (!reading || progress < kMinProgress || sample.seconds < kMinSeconds)
        return ScanEstimate{permille_, -1};
    // The rate of the last few seconds, so a slow start (the cache loading, a cold
    // disk) weighs less as the search goes on; since the start while that is short.
    recent_.push_back({sample.seconds, done});
    while (recent_.size() > 2 && sample.seconds - recent_[1].first >= kRateWindow)
        recent_.pop_front();
    const auto& [then, done_then] = recent_.front();
    double rate = sample.seconds > 0 ? done / sample.seconds : 0;
    if (sample.seconds - then >= kRateWindow / 2 && done > done_then)
        rate = (done - done_then) / (sample.seconds - then);
    const double estimated_total = sample.seconds + (total - done) / std::max(rate, 1e-9);
    if (smoothedTotal_ < 0) {
        smoothedTotal_ = estimated_total;
    } else {
        const double alpha = 1 - std::exp(-std::max(since_last, 0.0) / kSmoothing);
        smoothedTotal_ += alpha * (estimated_total - smoothedTotal_);
    }
    // Whole seconds, rounded up: a search still running never shows 0 s left.
    const double remaining = std::max(0.0, smoothedTotal_ - sample.seconds);
    return ScanEstimate{permille_, static_cast<int32_t>(std::ceil(std::min(remaining, 1e9)))};
}

}  // namespace merravine
