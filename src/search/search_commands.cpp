// The search commands of the dispatcher. A pause, resume or abort that finds no
// running search changes nothing (a stray request must not leave the job stuck in a
// state only a search thread could leave), and a resume returns to the pass that was
// paused, so a pause during the counting pass does not skip the search pass.
#include "search/search_commands.h"

#include "search/content_cache.h"
#include "search/engine_internals.h"
#include "search/result_rows.h"
#include "util/log.h"

namespace merravine {
namespace {

bool SizeBoundsLeaveRoom(const SearchSettings& settings) {
    if (!(settings.usemin && settings.usemax)) return true;
    return static_cast<uint64_t>(settings.minsize) < static_cast<uint64_t>(settings.maxsize);
}

}  // namespace

ScriptValue BeginSearch(SearchEngine& engine) {
    if (engine.state.load() != W_READY) return ScriptValue::Int(1);
    if (engine.settings.searchDirs.empty() || !SizeBoundsLeaveRoom(engine.settings)) {
        return ScriptValue::Int(0);
    }
    return ScriptValue::Int(StartSearch(engine) ? 0 : 1);
}

ScriptValue PauseSearch(SearchEngine& engine) {
    for (;;) {
        const int32_t running = engine.state.load();
        if (running != W_PRESEARCH && running != W_SEARCH) break;
        EngineInternals::ResumeState(engine).store(running);
        if (ChangeStateIf(engine, running, W_PAUSE)) break;
    }
    return ScriptValue::Int(0);
}

ScriptValue ResumeSearch(SearchEngine& engine) {
    ChangeStateIf(engine, W_PAUSE, EngineInternals::ResumeState(engine).load());
    return ScriptValue::Int(0);
}

ScriptValue AbortSearch(SearchEngine& engine) {
    for (;;) {
        int32_t running = engine.state.load();
        if (running == W_READY || running == W_ABORT) break;
        if (ChangeStateIf(engine, running, W_ABORT)) break;
    }
    return ScriptValue::Int(0);
}

ScriptValue GetScanningInfo(const SearchEngine& engine) {
    ScriptValue info;
    info.Append(ScriptValue::Int(engine.state.load(std::memory_order_relaxed)));
    info.Append(ScriptValue::Int(engine.totalNumber.load(std::memory_order_relaxed)));
    info.Append(ScriptValue::Int(engine.duplicateNumber.load(std::memory_order_relaxed)));
    info.Append(ScriptValue::Text(engine.ScanningPath()));
    info.Append(ScriptValue::Int(engine.scanNumber.load(std::memory_order_relaxed)));
    return info;
}

ScriptValue GetScanEstimate(SearchEngine& engine) {
    if (engine.state.load() == W_READY)
        return ScriptValue::List({ScriptValue::Int(1000), ScriptValue::Int(0)});
    const ScanEstimate estimate = engine.Estimate();
    return ScriptValue::List(
        {ScriptValue::Int(estimate.permille), ScriptValue::Int(estimate.remainingSeconds)});
}

ScriptValue GetDuplicateFileNumber(const SearchEngine& engine) {
    return ScriptValue::Int(engine.duplicateNumber.load(std::memory_order_relaxed));
}

ScriptValue GetDuplicateFiles(SearchEngine& engine, PageBridge& bridge, const ScriptValue& mask) {
    const int32_t kinds = mask.IntOr(0);
    engine.StartDelivery([&engine, &bridge, kinds] {
        if (!DeliverDuplicates(engine, bridge, kinds)) LogLess("duplicate rows were not delivered");
    });
    return ScriptValue::Int(0);
}

ScriptValue GetSetCount(const SearchEngine& engine, const ScriptValue& mask) {
    return ScriptValue::Int(CountSets(engine, mask.IntOr(0)));
}

ScriptValue GetScanProblems(const SearchEngine& engine) {
    ScriptValue::Array paths;
    for (std::string& path : engine.problems.Copy())
        paths.push_back(ScriptValue::Text(std::move(path)));
    return ScriptValue::List(
        {ScriptValue::Int(engine.unreadableNumber.load(std::memory_order_relaxed)),
         ScriptValue::Int(engine.unlistableNumber.load(std::memory_order_relaxed)),
         ScriptValue::List(std::move(paths)),
         ScriptValue::Int(engine.partial.load(std::memory_order_relaxed) ? 1 : 0)});
}

ScriptValue ClearCache(SearchEngine& engine, const std::string& cachePath) {
    if (engine.state.load() != W_READY) return ScriptValue::Int(1);
    if (cachePath.empty()) return ScriptValue::Int(0);
    engine.WaitForCacheSave();  // the last search's findings are written first, then cleared
    return ScriptValue::Int(ContentCache::Clear(cachePath).IsOk() ? 0 : 2);
}

}  // namespace merravine
