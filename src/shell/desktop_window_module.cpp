// The desktop window lives in a module of its own beside the executable, so only a
// run that opens a window loads GTK and WebKitGTK (about 170 libraries and 45 MiB):
// the scan command line and a run without a window stay small and start at once.
#include <filesystem>
#include <string>

#include "platform/loadable_module.h"
#include "platform/module_directory.h"
#include "shell/desktop_window.h"
#include "shell/desktop_window_module.h"
#include "util/log.h"

namespace merravine::shell {
namespace {

void LogFromWindow(const char* text) { LogDebug("%s", text); }

}  // namespace

std::unique_ptr<DesktopWindow> NewWebViewWindow(const std::string& url, const std::string& check_script) {
    const std::string folder = platform::GetModuleDirectory();
    std::string error;
    void* symbol = nullptr;
    for (const std::string& path : {folder + "/" + kWindowModuleFile,
                                    folder + "/" + kInstalledModuleFolder + "/" + kWindowModuleFile}) {
        std::error_code ignored;
        if (!std::filesystem::is_regular_file(path, ignored)) continue;
        symbol = platform::LoadModuleSymbol(path, kWindowFactorySymbol, error);
        break;
    }
    if (symbol == nullptr) {
        if (error.empty()) error = std::string(kWindowModuleFile) + " is not installed";
        LogDebug("no desktop window: %s", error.c_str());
        return nullptr;
    }
    const auto factory = reinterpret_cast<WindowFactory>(symbol);
    return std::unique_ptr<DesktopWindow>(factory(url.c_str(), check_script.c_str(), LogFromWindow));
}

}  // namespace merravine::shell
