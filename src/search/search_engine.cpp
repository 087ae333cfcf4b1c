// State changes, the pause hold, and the start and end of the search thread.
#include "search/search_engine.h"

#include <algorithm>
#include <chrono>

#include "search/engine_internals.h"
#include "util/log.h"

namespace merravine {

SearchEngine::~SearchEngine() {
    const int32_t running = state.load();
    if (running != W_READY) ChangeState(*this, W_ABORT);
    WaitForSearch(*this);
    cacheSaves_.Drain();  // a save not yet begun would be dropped by the executor's end
    deliveries_.Drain();
}

std::string SearchEngine::ScanningPath() const {
    std::lock_guard lock(scanningPathMutex_);
    return scanningPath_;
}

void SearchEngine::SetScanningPath(std::string_view text) {
    std::lock_guard lock(scanningPathMutex_);
    scanningPath_.assign(text);
}

void SearchEngine::StartEstimate(ScanHistory previous, bool caching) {
    std::lock_guard lock(estimateMutex_);
    searchStart_ = std::chrono::steady_clock::now();
    estimator_ = ScanEstimator(previous, caching);
}

ScanSample SearchEngine::Sample() {
    ScanSample sample;
    sample.walkDone = walkDone.load(std::memory_order_relaxed);
    sample.walked = walkedShare.load(std::memory_order_relaxed) / 1e6;
    if (const uint64_t ahead = namesAhead.load(std::memory_order_relaxed); ahead > 0) {
        const auto listed = static_cast<double>(namesListed.load(std::memory_order_relaxed));
        sample.walked = std::min(listed / static_cast<double>(ahead), 1.0);
    }
    sample.files = static_cast<uint64_t>(std::max(totalNumber.load(std::memory_order_relaxed), 0));
    // Read before what is done, so the done part never looks larger than the plan.
    sample.bytesPlanned = bytesPlanned.load(std::memory_order_relaxed);
    sample.bytesEscalated = bytesEscalated.load(std::memory_order_relaxed);
    sample.firstReads = firstReadsPlanned.load(std::memory_order_relaxed);
    sample.firstReadsDone = firstReadsDone.load(std::memory_order_relaxed);
    sample.firstReadsCached = firstReadsCached.load(std::memory_order_relaxed);
    sample.bytesCached = bytesCached.load(std::memory_order_relaxed);
    sample.bytesDone =
        bytesRead.load(std::memory_order_relaxed) + bytesCredited.load(std::memory_order_relaxed);
    std::lock_guard lock(estimateMutex_);
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - searchStart_).count();
    return sample;
}

ScanEstimate SearchEngine::Estimate() {
    const ScanSample sample = Sample();
    std::lock_guard lock(estimateMutex_);
    return estimator_.Update(sample);
}

void ChangeState(SearchEngine& engine, int32_t to) {
    {
        std::lock_guard lock(EngineInternals::SignalMutex(engine));
        engine.state.store(to);
        if (EngineInternals::StateWake(engine)) EngineInternals::StateWake(engine)();
    }
    EngineInternals::Signal(engine).notify_all();
}

bool ChangeStateIf(SearchEngine& engine, int32_t from, int32_t to) {
    bool changed = false;
    {
        std::lock_guard lock(EngineInternals::SignalMutex(engine));
        changed = engine.state.compare_exchange_strong(from, to);
        if (changed && EngineInternals::StateWake(engine)) EngineInternals::StateWake(engine)();
    }
    if (changed) EngineInternals::Signal(engine).notify_all();
    return changed;
}

bool HoldWhilePaused(SearchEngine& engine) {
    if (engine.state.load(std::memory_order_relaxed) == W_PAUSE) {
        std::unique_lock lock(EngineInternals::SignalMutex(engine));
        while (engine.state.load() == W_PAUSE) {
            EngineInternals::Signal(engine).wait_for(lock, std::chrono::seconds(1));
        }
    }
    return engine.state.load(std::memory_order_relaxed) != W_ABORT;
}

bool StartSearch(SearchEngine& engine) {
    if (!ChangeStateIf(engine, W_READY, W_PRESEARCH)) return false;
    // Only the thread itself returns the state to W_READY, so a thread seen in W_READY
    // has finished its work and joins at once.
    if (EngineInternals::SearchThread(engine).joinable())
        EngineInternals::SearchThread(engine).join();
    try {
        EngineInternals::SearchThread(engine) =
            std::thread([&engine] { SearchThreadMain(engine); });
    } catch (const std::exception& error) {
        LogLess("search thread could not start: %s", error.what());
        ChangeState(engine, W_READY);
    }
    return true;
}

void WaitForSearch(SearchEngine& engine) {
    if (EngineInternals::SearchThread(engine).joinable() &&
        EngineInternals::SearchThread(engine).get_id() != std::this_thread::get_id()) {
        EngineInternals::SearchThread(engine).join();
    }
}

}  // namespace merravine

namespace merravine {

void SetStateWake(SearchEngine& engine, std::function<void()> wake) {
    std::lock_guard lock(EngineInternals::SignalMutex(engine));
    EngineInternals::StateWake(engine) = std::move(wake);
}

void SearchEngine::AwaitState(int32_t wanted) {
    std::unique_lock lock(signalMutex_);
    signal_.wait(lock, [&] { return state.load() == wanted; });
}

}  // namespace merravine
