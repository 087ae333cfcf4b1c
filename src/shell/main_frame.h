// MainFrame: the one window object of the program. It owns the search job and the
// delete state, knows the page (for workers' calls into it) and the window (for the
// close and minimise commands), and answers every command the pages send through
// OnScriptCall, which runs on the UI thread only.
//
// Lifetime: built at start-up before the host, destroyed after the host has stopped
// running commands. Its destruction stops and joins every worker it started (the
// search engine aborts its search and waits for its threads), so no worker ever
// touches a MainFrame that is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "search/search_engine.h"
#include "shell/command_table.h"
#include "shell/desktop_window.h"
#include "util/page_bridge.h"

namespace merravine::shell {

/// Where the program keeps its files.
struct AppPaths {
    std::string config_path;    ///< Config.ini
    std::string database_path;  ///< duplicate.db
    std::string log_folder;     ///< the folder of Tessvel.log
};

/// Forwards workers' calls to the page once one is attached; fails them before.
class PageRelay final : public PageBridge {
public:
    void Attach(PageBridge* page) { page_.store(page); }
    PageCallResult CallScriptFunction(const std::string& name, const ScriptValue& argument) override;

private:
    std::atomic<PageBridge*> page_{nullptr};
};

class MainFrame {
public:
    /// Builds the search job, loads the settings and logs the program's version.
    explicit MainFrame(AppPaths paths);
    /// Aborts the search and waits for every worker.
    ~MainFrame();
    MainFrame(const MainFrame&) = delete;
    MainFrame& operator=(const MainFrame&) = delete;

    /// The page and the window, once they exist; both outlive this object.
    void Attach(PageBridge* page, DesktopWindow* window);

    /// Runs the command of exactly this name and argument count (UI thread only).
    CallOutcome OnScriptCall(const std::string& name, const ScriptValue::Array& args);

    /// The commands the pages may call.
    const CommandTable& Commands() const { return commands_; }
    SearchEngine& Engine() { return engine_; }
    const AppPaths& Paths() const { return paths_; }
    PageBridge& Page() { return page_; }
    DesktopWindow* Window() { return window_.load(); }

    /// 0 idle, 1 a delete is running, 2 a stop was asked for.
    std::atomic<int32_t> deleteState{0};

private:
    AppPaths paths_;
    PageRelay page_;
    std::atomic<DesktopWindow*> window_{nullptr};
    CommandTable commands_;
    SearchEngine engine_;  // last: destroyed first, joining its threads while the rest is intact
};

/// Fills the command table with every command the pages may call.
void AddCommands(MainFrame& frame, CommandTable& table);

}  // namespace merravine::shell
