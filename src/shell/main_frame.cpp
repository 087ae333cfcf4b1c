#include "shell/main_frame.h"

#include "history/history_commands.h"
#include "history/scan_store.h"
#include "platform/module_directory.h"
#include "settings/settings_file.h"
#include "shell/system_commands.h"
#include "util/log.h"

namespace merravine::shell {

PageCallResult PageRelay::CallScriptFunction(const std::string& name, const ScriptValue& argument) {
    if (PageBridge* page = page_.load()) return page->CallScriptFunction(name, argument);
    PageCallResult result;
    result.error = "no page is connected";
    return result;
}

MainFrame::MainFrame(AppPaths paths) : paths_(std::move(paths)) {
    history::OpenHistoryDb(history_, platform::FolderOfPath(paths_.database_path));
    StoreEveryFinishedScan(engine_, history_);
    InitSearchSettings(engine_.settings, paths_.config_path);
    LoadSettings(engine_.settings);
    AddCommands(*this, commands_);
    LogLess("version: %s", GetFileVersionString().c_str());
}

MainFrame::~MainFrame() {
    // Workers still waiting on the page get an error at once; the members' own
    // destruction then joins the delete worker and the search engine's threads.
    page_.Attach(nullptr);
}

void MainFrame::Attach(PageBridge* page, DesktopWindow* window) {
    page_.Attach(page);
    window_.store(window);
}

void MainFrame::KnowInstance(bool another_runs) {
    if (another_runs) {
        another_runs_ = true;
        return;
    }
    if (bell_) return;
    bell_ = platform::InstanceBell::Listen(InstanceBellPath(), [this] {
        LogDebug("another start rang; the window comes to the front");
        if (DesktopWindow* window = Window()) window->Present();
    });
    if (!bell_) LogDebug("later starts cannot reach this instance: no bell socket");
}

CallOutcome MainFrame::OnScriptCall(const std::string& name, const ScriptValue::Array& args) {
    return commands_.Call(name, args);
}

}  // namespace merravine::shell
