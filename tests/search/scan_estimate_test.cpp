#include "search/scan_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace merravine {
namespace {

// A made-up search of `seconds`: the walk finds `files` files evenly over its first
// `walkPart` of the time; each file found is handed over for a first read of 8 KiB,
// done a little later; pairs found (the square of the part walked) bring whole reads
// of `wholeBytes` in all, done at an even pace until the end. The last `finishPart`
// of the time is the end of the search, with nothing to count.
struct MadeUpScan {
    double seconds = 20;
    double walkPart = 0.4;
    double finishPart = 0.05;
    uint64_t files = 100000;
    double wholeBytes = 4e9;
    bool cached = false;  // every first read is answered by the cache

    ScanSample At(double t) const {
        const double reading_end = seconds * (1 - finishPart);
        const double walked = std::min(1.0, t / (seconds * walkPart));
        const double read_part = std::min(1.0, t / reading_end);
        ScanSample sample;
        sample.seconds = t;
        sample.walkDone = walked >= 1;
        sample.walked = walked;
        sample.files = static_cast<uint64_t>(static_cast<double>(files) * walked);
        sample.firstReads = sample.files;
        sample.firstReadsDone = static_cast<uint64_t>(
            std::min(static_cast<double>(sample.files),
                     static_cast<double>(files) * std::min(1.0, t / (seconds * walkPart * 1.1))));
        const double escalated = wholeBytes * walked * walked;
        sample.bytesEscalated = static_cast<uint64_t>(escalated);
        sample.bytesPlanned =
            static_cast<uint64_t>(8192.0 * static_cast<double>(sample.firstReads) + escalated);
        const double first_bytes_done = 8192.0 * static_cast<double>(sample.firstReadsDone);
        sample.bytesDone =
            static_cast<uint64_t>(std::min(static_cast<double>(sample.bytesPlanned),
                                           first_bytes_done + wholeBytes * read_part * read_part));
        if (cached) {  // answered at once
            sample.firstReadsDone = sample.firstReads;
            sample.firstReadsCached = sample.firstReadsDone;
            sample.bytesCached = sample.bytesPlanned;
            sample.bytesDone = sample.bytesPlanned;
        }
        return sample;
    }
};

struct Shown {
    double seconds;
    ScanEstimate estimate;
};

std::vector<Shown> Follow(const MadeUpScan& scan, ScanEstimator estimator) {
    std::vector<Shown> shown;
    for (double t = 0.2; t < scan.seconds; t += 0.2)
        shown.push_back({t, estimator.Update(scan.At(t))});
    return shown;
}

// From 20 % of the search on: every time within 30 % (plus the second the page rounds
// to) of the truth, and no two times a second apart more than twice each other.
void ExpectTrue(const std::vector<Shown>& shown, double seconds) {
    for (size_t i = 0; i < shown.size(); ++i) {
        const Shown& s = shown[i];
        const double truth = seconds - s.seconds;
        if (s.seconds < 0.2 * seconds || truth < 1) continue;  // the page shows whole seconds
        ASSERT_GE(s.estimate.remainingSeconds, 0) << "at " << s.seconds;
        EXPECT_LE(std::fabs(s.estimate.remainingSeconds - truth), 0.3 * truth + 1.0)
            << "at " << s.seconds << " s: shown " << s.estimate.remainingSeconds << ", true "
            << truth;
        if (i + 5 < shown.size()) {
            const int32_t a = s.estimate.remainingSeconds;
            const int32_t b = shown[i + 5].estimate.remainingSeconds;
            if (std::min(a, b) >= 2) {
                EXPECT_LE(std::max(a, b), 2 * std::min(a, b)) << "at " << s.seconds;
            }
        }
    }
}

TEST(ScanEstimate, WithThePreviousScanKnownTheTimeIsTrueFromTheStart) {
    const MadeUpScan scan;
    const std::vector<Shown> shown = Follow(scan, ScanEstimator(ScanHistory{scan.files}));
    ExpectTrue(shown, scan.seconds);
    // Useful from the first second: a time is shown once the first reads have begun.
    EXPECT_GE(shown[4].estimate.remainingSeconds, 0);
}

TEST(ScanEstimate, WithoutHistoryThePartWalkedStandsIn) {
    const MadeUpScan scan;
    ExpectTrue(Follow(scan, ScanEstimator()), scan.seconds);
}

// A scan whose every file the cache answers is the walk, then the writing of the cache.
TEST(ScanEstimate, AnswersFromTheCacheCostNothing) {
    MadeUpScan scan;
    scan.cached = true;
    scan.wholeBytes = 0;  // every key known: nothing is read whole
    scan.walkPart = 0.5;  // writing an entry costs about as much as finding its file
    scan.finishPart = 0.5;
    ExpectTrue(Follow(scan, ScanEstimator(ScanHistory{scan.files}, true)), scan.seconds);
}

TEST(ScanEstimate, NothingIsToldBeforeThereIsSomethingToMeasure) {
    ScanEstimator estimator;
    ScanSample sample;
    sample.seconds = 1;
    sample.files = 500;
    sample.walked = 0.01;  // too little walked to project from, and no history
    EXPECT_EQ(estimator.Update(sample).remainingSeconds, -1);
    sample.seconds = 2;
    sample.walked = 0.5;
    sample.firstReads = 400;  // handed over, none read yet
    sample.bytesPlanned = 400ULL * 8192;
    EXPECT_EQ(estimator.Update(sample).remainingSeconds, -1);
    sample.seconds = 3;
    sample.firstReadsDone = 200;
    sample.bytesDone = 200ULL * 8192;
    EXPECT_GT(estimator.Update(sample).remainingSeconds, 0);
}

// The bar never goes back, not even when far more work turns up than was expected, and
// reads full only when the search is over; a stall does not make the time jump.
TEST(ScanEstimate, TheBarOnlyMovesOnAndAStallBendsTheTimeSlowly) {
    ScanEstimator estimator(ScanHistory{1000});
    ScanSample sample;
    sample.files = 1000;
    sample.walkDone = true;
    sample.firstReads = sample.firstReadsDone = 1000;
    sample.bytesPlanned = 100'000'000;
    int32_t bar = 0;
    int32_t last_time = -1;
    for (int step = 1; step <= 40; ++step) {
        sample.seconds = 0.2 * step;
        // Steady reading for 4 s, then a stall of 2 s, then ten times the work turns up.
        if (step <= 20) sample.bytesDone = static_cast<uint64_t>(step) * 2'000'000;
        if (step == 31) sample.bytesPlanned *= 10;
        const ScanEstimate estimate = estimator.Update(sample);
        EXPECT_GE(estimate.permille, bar) << "step " << step;
        EXPECT_LT(estimate.permille, 1000);
        bar = estimate.permille;
        if (step > 20 && step <= 30 && last_time > 0) {
            EXPECT_LE(estimate.remainingSeconds, last_time + 2) << "a 0.2 s stall step";
        }
        if (step > 1) last_time = estimate.remainingSeconds;
    }
    EXPECT_GT(bar, 0);
}

TEST(ScanEstimate, AScanThatOutgrewItsHistoryFallsBackToThePartWalked) {
    ScanEstimator estimator(ScanHistory{100});  // the folders held 100 files last time
    ScanSample sample;
    sample.seconds = 2;
    sample.files = 5000;  // far more now
    sample.walked = 0.5;  // half of the trees walked
    sample.firstReads = sample.firstReadsDone = 5000;
    sample.bytesPlanned = sample.bytesDone = 5000ull * 8192;
    const ScanEstimate estimate = estimator.Update(sample);
    // About half done, so about as long again (never "almost done").
    EXPECT_GE(estimate.remainingSeconds, 1);
    EXPECT_LE(estimate.permille, 600);
}

}  // namespace
}  // namespace merravine
