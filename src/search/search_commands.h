// The search commands as the dispatcher calls them: plain functions from the engine
// (and the script's argument) to the script value they answer. All run on the UI
// thread and return at once.
#pragma once

#include "search/search_engine.h"
#include "util/page_bridge.h"
#include "util/script_value.h"

namespace merravine {

/// 1 when a search runs (nothing changes); otherwise 0, after starting a search when
/// there is a search folder and the size bounds leave room.
ScriptValue BeginSearch(SearchEngine& engine);
/// Pauses a running search; 0. Without a running search nothing changes.
ScriptValue PauseSearch(SearchEngine& engine);
/// Resumes a paused search in the pass it was paused in; 0.
ScriptValue ResumeSearch(SearchEngine& engine);
/// Asks a running or paused search to stop, without waiting; 0.
ScriptValue AbortSearch(SearchEngine& engine);
/// [status, totalNumber, duplicateNumber, scanningPath, scanNumber].
ScriptValue GetScanningInfo(const SearchEngine& engine);
/// duplicateNumber.
ScriptValue GetDuplicateFileNumber(const SearchEngine& engine);
/// Starts a thread that delivers the rows of the kinds in `mask` (an integer, else 0)
/// to the page's DuplicateFileToUI; answers 0 at once.
ScriptValue GetDuplicateFiles(SearchEngine& engine, PageBridge& bridge, const ScriptValue& mask);
/// The number of sets of the kinds in `mask` (an integer, else 0), none left out.
ScriptValue GetSetCount(const SearchEngine& engine, const ScriptValue& mask);
/// [unreadable files, unlistable folders, [paths], partial 0|1]: what the last search could
/// not read or list, with at most ProblemPaths::kMaxKept of their paths, and whether it
/// ended before it had looked at every file.
ScriptValue GetScanProblems(const SearchEngine& engine);
/// [progress in thousandths, seconds left or -1 while unknown] of the running search;
/// [1000, 0] when none runs.
ScriptValue GetScanEstimate(SearchEngine& engine);

/// Empties the content-key cache at `cachePath`: 0 done, 1 while a search runs, 2 when
/// the file could not be cleared (the log says why).
ScriptValue ClearCache(SearchEngine& engine, const std::string& cachePath);

}  // namespace merravine
