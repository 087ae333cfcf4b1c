// The command table: every native command the pages may call, by its exact name and
// argument count. Each entry is one line that hands the arguments to the function
// that does the work in its own subsystem; adding a command is adding a line.
#include "cli/results_export.h"
#include "deletion/action_commands.h"
#include "history/history_commands.h"
#include "search/search_commands.h"
#include "settings/folder_lists.h"
#include "settings/settings_commands.h"
#include "shell/host_folder_commands.h"
#include "shell/main_frame.h"
#include "shell/system_commands.h"

namespace merravine::shell {

namespace {

using Args = ScriptValue::Array;

ScriptValue Zero() { return ScriptValue::Int(0); }

// The search thread reads the settings without a lock, so they change only while no
// search runs; a change asked for during a search is refused with the busy answer 1.
template <typename Change>
ScriptValue WhenReady(const SearchEngine& engine, Change change) {
    if (engine.state.load() != W_READY) return ScriptValue::Int(1);
    return ScriptValue::Int(change());
}

}  // namespace

void AddCommands(MainFrame& frame, CommandTable& table) {
    SearchEngine& engine = frame.Engine();
    ActionWorker& deleter = frame.Deleter();
    history::HistoryDb& history = frame.History();
    PageBridge& page = frame.Page();
    // System commands.
    table.Add("WriteHtmlLog", 1, [](const Args& a) { return WriteHtmlLog(a[0]); });
    table.AddDeferred("OpenLogFilePath", 0, [&frame](const Args&) -> DeferredWork {
        return [folder = frame.Paths().log_folder] { return OpenLogFilePath(folder); };
    });
    table.Add("PowerOperate", 1, [](const Args& a) { return PowerOperate(a[0]); });
    table.Add("GetOsVersion", 0, [](const Args&) { return GetOsVersion(); });
    table.Add("GetProductVersion", 0, [](const Args&) { return GetProductVersion(); });
    table.Add("CheckProgramHadRun", 0, [&frame](const Args&) {
        ScriptValue answer = CheckProgramHadRun();
        frame.KnowInstance(answer.IntOr(0) == 1);
        return answer;
    });
    table.Add("GetLang", 0, [&frame](const Args&) { return GetLang(frame.Paths().config_path); });
    table.Add("SetLang", 1,
              [&frame](const Args& a) { return SetLang(frame.Paths().config_path, a[0]); });
    // Settings and folder lists.
    SearchSettings& settings = engine.settings;
    table.Add("GetSettings", 0, [&settings](const Args&) { return GetSettings(settings); });
    table.Add("SetSettings", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetSettings(settings, a[0]); });
    });
    table.Add("SetSearchDirectory", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetSearchDirectory(settings, a[0]); });
    });
    table.Add("GetSearchDirectory", 0,
              [&settings](const Args&) { return GetSearchDirectory(settings); });
    table.Add("SetExcludeDirectory", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetExcludeDirectory(settings, a[0]); });
    });
    table.Add("GetExcludeDirectory", 0,
              [&settings](const Args&) { return GetExcludeDirectory(settings); });
    table.Add("SetProtectDirectory", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetProtectDirectory(settings, a[0]); });
    });
    table.Add("GetProtectDirectory", 0,
              [&settings](const Args&) { return GetProtectDirectory(settings); });
    table.Add("GetCollapseHardLinks", 0,
              [&settings](const Args&) { return GetCollapseHardLinks(settings); });
    table.Add("SetCollapseHardLinks", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetCollapseHardLinks(settings, a[0]); });
    });
    table.Add("GetUseCache", 0, [&settings](const Args&) { return GetUseCache(settings); });
    table.Add("SetUseCache", 1, [&](const Args& a) {
        return WhenReady(engine, [&] { return SetUseCache(settings, a[0]); });
    });
    // Search.
    table.Add("BeginSearch", 0, [&](const Args&) {
        if (DeletionRunning(deleter)) return ScriptValue::Int(1);  // the groups are busy
        // Each search follows the cache option as it is when the search starts; the
        // tuning is read by the search thread, so it changes only while none runs.
        if (engine.state.load() == W_READY) {
            engine.tuning.cachePath = settings.cache != 0 ? frame.Paths().cache_path : "";
            engine.tuning.countNamesAhead = true;  // the page shows the remaining time
        }
        return BeginSearch(engine);
    });
    table.Add("PauseSearch", 0, [&engine](const Args&) { return PauseSearch(engine); });
    table.Add("ResumeSearch", 0, [&engine](const Args&) { return ResumeSearch(engine); });
    table.Add("AbortSearch", 0, [&engine](const Args&) { return AbortSearch(engine); });
    table.Add("GetDuplicateFileNumber", 0,
              [&engine](const Args&) { return GetDuplicateFileNumber(engine); });
    table.Add("GetScanningInfo", 0, [&engine](const Args&) { return GetScanningInfo(engine); });
    table.Add("GetScanEstimate", 0, [&engine](const Args&) { return GetScanEstimate(engine); });
    table.Add("ClearCache", 0,
              [&](const Args&) { return ClearCache(engine, frame.Paths().cache_path); });
    table.Add("GetDuplicateFiles", 1,
              [&](const Args& a) { return GetDuplicateFiles(engine, page, a[0]); });
    table.Add("GetSetCount", 1, [&engine](const Args& a) { return GetSetCount(engine, a[0]); });
    table.Add("GetScanProblems", 0, [&engine](const Args&) { return GetScanProblems(engine); });
    // Acting on the results.
    table.Add("DeleteFiles", 1,
              [&](const Args& a) { return DeleteFiles(deleter, engine, history, page, a[0]); });
    table.Add("TrashFiles", 1,
              [&](const Args& a) { return TrashFiles(deleter, engine, history, page, a[0]); });
    table.Add("LinkFiles", 1,
              [&](const Args& a) { return LinkFiles(deleter, engine, history, page, a[0]); });
    table.Add("ReflinkFiles", 1,
              [&](const Args& a) { return ReflinkFiles(deleter, engine, history, page, a[0]); });
    table.Add("MoveFiles", 2,
              [&](const Args& a) { return MoveFiles(deleter, engine, history, page, a[0], a[1]); });
    table.Add("CanReflink", 1, [](const Args& a) { return CanReflink(a[0]); });
    table.Add("UndoTrash", 0, [&](const Args&) { return UndoTrash(deleter); });
    table.Add("ExportResults", 2, [&](const Args& a) { return ExportResults(engine, a[0], a[1]); });
    table.Add("StopDelFile", 0, [&](const Args&) { return StopDelFile(deleter); });
    // Scan history.
    table.Add("GetScanReord", 0, [&](const Args&) { return GetScanReord(history); });
    table.Add("DelOneRecord", 1, [&](const Args& a) { return DelOneRecord(history, a[0]); });
    table.Add("DelAllRecord", 1, [&](const Args& a) { return DelAllRecord(history, a[0]); });
    table.Add("LoadRecord", 1, [&](const Args& a) {
        return LoadRecord(engine, history, page, a[0], DeletionRunning(deleter));
    });
    // Host commands the pages need in place of a native window's own helpers.
    table.Add("GetHomeFolder", 0, [](const Args&) { return GetHomeFolder(); });
    table.AddDeferred("ListFolders", 1, [](const Args& a) -> DeferredWork {
        return [path = a[0]] { return ListFolders(path); };
    });
    table.AddDeferred("ShowInFileManager", 1, [](const Args& a) -> DeferredWork {
        return [path = a[0]] { return ShowInFileManager(path); };
    });
    table.Add("OpenFile", 1, [](const Args& a) { return OpenFile(a[0]); });
    table.Add("CloseWindow", 0, [&frame](const Args&) {
        if (DesktopWindow* window = frame.Window()) window->RequestClose();
        return Zero();
    });
    table.Add("MinimizeWindow", 0, [&frame](const Args&) {
        if (DesktopWindow* window = frame.Window()) window->Minimize();
        return Zero();
    });
    table.Add("DragWindow", 0, [&frame](const Args&) {
        if (DesktopWindow* window = frame.Window()) window->StartMove();
        return Zero();
    });
    table.Add("ToggleMaximizeWindow", 0, [&frame](const Args&) {
        if (DesktopWindow* window = frame.Window()) window->ToggleMaximize();
        return Zero();
    });
    // Width and height in pixels, and whether the user may resize the window.
    table.Add("PlaceWindow", 3, [&frame](const Args& a) {
        const int32_t width = a[0].IntOr(0), height = a[1].IntOr(0);
        if (width < 100 || height < 100 || width > 16384 || height > 16384)
            return ScriptValue::Int(1);
        if (DesktopWindow* window = frame.Window())
            window->Place(width, height, a[2].IntOr(0) != 0);
        return Zero();
    });
    // What closing now would cut short: [search state, 1 while a deletion runs].
    table.Add("GetRunningJobs", 0, [&](const Args&) {
        return ScriptValue::List({ScriptValue::Int(engine.state.load()),
                                  ScriptValue::Int(DeletionRunning(deleter) ? 1 : 0)});
    });
}

}  // namespace merravine::shell
