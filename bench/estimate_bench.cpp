// The remaining-time benchmark (not a test): runs one search over the folders given,
// reads its estimate every 200 ms as the scan page does, and compares each shown
// remaining time with the true one, known once the search has ended.
//
//   estimate_bench [--threads N] [--cache FILE] [--no-count-ahead] [--trace FILE] DIR...
//
// Prints the scan's duration and, from 20 % of it on, how many shown times are off the
// true remaining time by more than 30 % plus the second the page rounds to, the
// largest error where the true time is at least 3 s, and the largest ratio between two
// shown times one second apart (where both are at least 1 s). --trace writes every
// sample as CSV. The names below the folders are counted ahead of the walk, as the
// window does, unless --no-count-ahead.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/open_file_limit.h"
#include "search/search_engine.h"
#include "settings/settings_file.h"

namespace {

using merravine::SearchEngine;

struct Sample {
    double seconds;
    int32_t state;
    merravine::ScanEstimate estimate;
    int32_t files;
    uint32_t walked;
    uint64_t planned;
    uint64_t done;
    uint64_t escalated;
    uint32_t firsts;
    uint32_t firstsDone;
};

int Usage() {
    std::fprintf(
        stderr,
        "usage: estimate_bench [--threads N] [--cache FILE] [--no-count-ahead] [--trace FILE] "
        "DIR...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace merravine;
    platform::RaiseOpenFileLimit();
    SearchEngine engine;
    InitSearchSettings(engine.settings, "/nonexistent/Config.ini");
    for (size_t kind = 0; kind < kDefaultExtensionLists.size(); ++kind)
        engine.settings.extensionLists[kind] = SplitExtensionList(kDefaultExtensionLists[kind]);
    engine.settings.skipflag = 0;
    std::string trace_path;
    bool count_ahead = true;  // as the window does
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--threads" && i + 1 < argc) {
            engine.tuning.hashThreads = std::atoi(argv[++i]);
        } else if (arg == "--cache" && i + 1 < argc) {
            engine.tuning.cachePath = argv[++i];
        } else if (arg == "--no-count-ahead") {
            count_ahead = false;
        } else if (arg == "--trace" && i + 1 < argc) {
            trace_path = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            engine.settings.searchDirs.push_back(arg);
        }
    }
    if (engine.settings.searchDirs.empty()) return Usage();
    engine.tuning.countNamesAhead = count_ahead;

    const auto start = std::chrono::steady_clock::now();
    auto since_start = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (!StartSearch(engine)) return 1;
    std::vector<Sample> samples;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the page's poll
        const int32_t state = engine.state.load();
        if (state == W_READY) break;
        // The part walked as the estimate takes it: from the count ahead once it is made.
        const uint64_t ahead = engine.namesAhead.load();
        const auto walked = static_cast<uint32_t>(
            ahead > 0 ? std::min<uint64_t>(engine.namesListed.load() * 1000000 / ahead, 1000000)
                      : engine.walkedShare.load());
        samples.push_back(Sample{since_start(), state, engine.Estimate(), engine.totalNumber.load(),
                                 walked, engine.bytesPlanned.load(),
                                 engine.bytesRead.load() + engine.bytesCredited.load(),
                                 engine.bytesEscalated.load(), engine.firstReadsPlanned.load(),
                                 engine.firstReadsDone.load()});
    }
    WaitForSearch(engine);
    const double total = since_start();

    if (!trace_path.empty()) {
        if (FILE* out = std::fopen(trace_path.c_str(), "w")) {
            std::fprintf(out,
                         "seconds,state,permille,shown,true,files,walked,planned,done,escalated,"
                         "firsts,firstsdone\n");
            for (const Sample& s : samples) {
                std::fprintf(out, "%.3f,%d,%d,%d,%.3f,%d,%u,%llu,%llu,%llu,%u,%u\n", s.seconds,
                             s.state, s.estimate.permille, s.estimate.remainingSeconds,
                             total - s.seconds, s.files, s.walked,
                             static_cast<unsigned long long>(s.planned),
                             static_cast<unsigned long long>(s.done),
                             static_cast<unsigned long long>(s.escalated), s.firsts, s.firstsDone);
            }
            std::fclose(out);
        }
    }

    double worst_error = 0;
    double worst_jump = 1;
    size_t judged = 0;
    size_t unknown = 0;
    size_t outside = 0;  // off by more than 30 % plus the second the page rounds to
    size_t bar_moves_in_walk = 0;
    int32_t last_bar = -1;
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        if (s.state == W_PRESEARCH && last_bar >= 0 && s.estimate.permille > last_bar)
            ++bar_moves_in_walk;
        last_bar = s.estimate.permille;
        if (s.seconds < 0.2 * total) continue;
        const double truth = total - s.seconds;
        if (s.estimate.remainingSeconds < 0) {
            ++unknown;
            continue;
        }
        ++judged;
        const double off = std::fabs(s.estimate.remainingSeconds - truth);
        if (off > 0.3 * truth + 1) ++outside;
        if (truth >= 3) worst_error = std::max(worst_error, off / truth);
        for (size_t j = i + 1; j < samples.size(); ++j) {
            if (samples[j].seconds - s.seconds < 0.95) continue;
            const int32_t a = s.estimate.remainingSeconds;
            const int32_t b = samples[j].estimate.remainingSeconds;
            if (a >= 1 && b >= 1)
                worst_jump =
                    std::max(worst_jump, static_cast<double>(std::max(a, b)) / std::min(a, b));
            break;
        }
    }
    std::printf(
        "scan %.2f s, %zu samples; from 20 %% on: %zu shown times, %zu unknown, %zu off by "
        "more than 30 %% + 1 s, worst error %.0f %% (true time >= 3 s), worst ratio of two "
        "shown times 1 s apart %.2fx; bar moved %zu times during the walk; files %d, read "
        "%llu MB\n",
        total, samples.size(), judged, unknown, outside, worst_error * 100, worst_jump,
        bar_moves_in_walk, engine.totalNumber.load(),
        static_cast<unsigned long long>(engine.bytesRead.load() >> 20));
    return 0;
}
