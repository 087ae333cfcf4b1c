// What the search's own threads reach inside the search job: the lock and wake-up that
// state changes and hash results go through, the search thread, and the test seams.
// Only src/search includes this.
#pragma once

#include "search/search_engine.h"

namespace merravine {

struct EngineInternals {
    static std::mutex& SignalMutex(SearchEngine& engine) { return engine.signalMutex_; }
    static std::condition_variable& Signal(SearchEngine& engine) { return engine.signal_; }
    static std::mutex& GroupsMutex(const SearchEngine& engine) { return engine.groupsMutex_; }
    static std::thread& SearchThread(SearchEngine& engine) { return engine.searchThread_; }
    static std::atomic<int32_t>& ResumeState(SearchEngine& engine) { return engine.resumeState_; }
    static const IoFaultHook& IoHook(const SearchEngine& engine) { return engine.ioFaultHook_; }
    static const StageFaultHook& StageHook(const SearchEngine& engine) {
        return engine.stageFaultHook_;
    }
    static const std::function<void(const SearchEngine&)>& OnFinished(const SearchEngine& engine) {
        return engine.onSearchFinished_;
    }
    static void JoinDeliveries(SearchEngine& engine) { engine.deliveries_.Drain(); }
    static std::function<void()>& StateWake(SearchEngine& engine) { return engine.stateWake_; }
};

/// Sets what a state change calls beside waking the engine's own waiters (empty: nothing).
void SetStateWake(SearchEngine& engine, std::function<void()> wake);

}  // namespace merravine
