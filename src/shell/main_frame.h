// MainFrame: the one window object of the program. It owns the search job and the
// delete state, knows the page (for workers' calls into it) and the window (for the
// close and minimise commands), and answers every command the pages send through
// OnScriptCall, which runs on the UI thread only. It also holds the connection to the
// scan history, which the search thread (storing a finished scan), the delete thread
// and the history commands share.
//
// Lifetime: built at start-up before the host, destroyed after the host has stopped
// running commands. Its destruction stops and joins every worker it started (the
// delete worker first, then the search engine, which aborts its search and waits for
// its threads), and only then closes the history, so no worker ever touches a
// MainFrame that is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "deletion/action_worker.h"
#include "history/history_db.h"
#include "platform/instance_bell.h"
#include "search/search_engine.h"
#include "shell/command_table.h"
#include "shell/desktop_window.h"
#include "util/page_bridge.h"

namespace merravine::shell {

/// Where the program keeps its files.
struct AppPaths {
    std::string config_path;    ///< Config.ini
    std::string database_path;  ///< duplicate.db
    std::string cache_path;     ///< cache.db, the content-key cache (empty: none)
    std::string log_folder;     ///< the folder of Tessvel.log
};

/// Forwards workers' calls to the page once one is attached; fails them before.
class PageRelay final : public PageBridge {
  public:
    void Attach(PageBridge* page) { page_.store(page); }
    PageCallResult CallScriptFunction(const std::string& name,
                                      const ScriptValue& argument) override;

  private:
    std::atomic<PageBridge*> page_{nullptr};
};

class MainFrame {
  public:
    /// Opens the history, builds the search job, loads the settings and logs the version.
    explicit MainFrame(AppPaths paths);
    /// Stops the workers and waits for them.
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
    ActionWorker& Deleter() { return deleter_; }
    history::HistoryDb& History() { return history_; }
    const AppPaths& Paths() const { return paths_; }
    PageBridge& Page() { return page_; }
    DesktopWindow* Window() { return window_.load(); }

    /// Takes the single-instance answer (UI thread). The first instance listens for later
    /// starts and brings its window to the front when one rings; a later one remembers it.
    void KnowInstance(bool another_runs);
    /// True when another instance was running when the page asked.
    bool AnotherInstanceRuns() const { return another_runs_.load(); }

  private:
    AppPaths paths_;
    PageRelay page_;
    std::atomic<DesktopWindow*> window_{nullptr};
    CommandTable commands_;
    // Destroyed in reverse order: the action worker and then the search engine join
    // their threads while the history they write to is still open.
    history::HistoryDb history_;
    SearchEngine engine_;
    ActionWorker deleter_;
    std::atomic<bool> another_runs_{false};
    // Last, so it stops first: its thread reaches the window through this object.
    std::unique_ptr<platform::InstanceBell> bell_;
};

/// Fills the command table with every command the pages may call.
void AddCommands(MainFrame& frame, CommandTable& table);

}  // namespace merravine::shell
