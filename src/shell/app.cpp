#include "shell/app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "archive/embedded_ui.h"
#include "archive/ui_archive.h"
#include "platform/atomic_file.h"
#include "platform/data_folder.h"
#include "platform/instance_bell.h"
#include "platform/open_file_limit.h"
#include "platform/signals_watch.h"
#include "platform/window_browser.h"
#include "shell/host.h"
#include "shell/main_frame.h"
#include "shell/system_commands.h"
#include "util/log.h"
#include "util/log_writer.h"

namespace merravine::shell {

namespace {

AppPaths ResolvePaths(const AppOptions& options) {
    const platform::DataPaths chosen = platform::ResolveDataPaths(options.data_dir);
    if (!chosen.error.empty()) std::fprintf(stderr, "merravine: %s\n", chosen.error.c_str());
    AppPaths paths;
    paths.config_path = chosen.config_file;
    paths.database_path = chosen.database_file;
    paths.cache_path = chosen.cache_file;
    paths.log_folder = chosen.log_folder;
    return paths;
}

ArchiveReader EmbeddedArchiveReader() {
    auto archive = std::make_shared<std::optional<UiArchive>>(UiArchive::Open(EmbeddedUiArchive()));
    if (!*archive) LogDebug("the embedded UI archive is damaged");
    return [archive](std::string_view path) -> std::optional<std::string> {
        if (!*archive) return std::nullopt;
        return (*archive)->Fetch(path);
    };
}

// The window the page is shown in: our own when possible, else the user's browser,
// else the address alone. The address always goes to stdout first without a window.
std::unique_ptr<DesktopWindow> OpenWindow(const AppOptions& options, const std::string& url,
                                          std::string& launch_file) {
    if (!options.no_window) {
        const char* check = std::getenv("MERRAVINE_WINDOW_CHECK");
        if (auto window = NewWebViewWindow(url, check != nullptr ? check : "")) return window;
    }
    std::printf("URL: %s\n", url.c_str());
    std::fflush(stdout);
    if (!options.no_window && platform::HasGraphicalSession()) {
        launch_file = platform::OpenInBrowser(url);
        if (launch_file.empty()) LogDebug("no browser could be started; the address is on stdout");
    }
    return NewWaitingWindow();
}

constexpr std::chrono::milliseconds kWorkersGrace{10000};

}  // namespace

bool RunWithin(std::function<void()> work, std::chrono::milliseconds limit) {
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    std::thread thread([work = std::move(work), finished] {
        try {
            work();
        } catch (const std::exception& error) {
            LogDebug("%s", error.what());
        }
        finished->set_value();
    });
    if (done.wait_for(limit) == std::future_status::ready) {
        thread.join();
        return true;
    }
    thread.detach();
    return false;
}

std::optional<AppOptions> ParseAppOptions(int argc, char** argv, std::string& error) {
    AppOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool has_value = i + 1 < argc;
        if (argument == "--version") {
            options.show_version = true;
        } else if (argument == "--help" || argument == "-h") {
            options.show_help = true;
        } else if (argument == "--no-window") {
            options.no_window = true;
        } else if (argument == "--data-dir" && has_value) {
            options.data_dir = argv[++i];
            if (options.data_dir.empty()) {
                error = "--data-dir needs a folder";
                return std::nullopt;
            }
        } else if (argument == "--port" && has_value) {
            char* end = nullptr;
            const long port = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || port < 0 || port > 65535) {
                error = std::string("not a port: ") + argv[i];
                return std::nullopt;
            }
            options.port = static_cast<uint16_t>(port);
        } else {
            error = "unknown option: " + argument;
            return std::nullopt;
        }
    }
    return options;
}

const char* AppUsage() {
    return "Usage: merravine [--data-dir DIR] [--port N] [--no-window]\n"
           "       merravine scan [options] DIR...\n"
           "       merravine dedupe --action ACTION --keep RULE [options] DIR...\n"
           "       merravine --version | --help\n"
           "\n"
           "Finds duplicate files in the folders you choose.\n"
           "  --data-dir DIR  keep Config.ini, duplicate.db, cache.db and Log/ in DIR\n"
           "                  (default: $MERRAVINE_DATA_DIR, else the program's folder when\n"
           "                  it is writable, else the XDG folders of the user)\n"
           "  --port N        serve the pages on 127.0.0.1:N (default: a free port)\n"
           "  --no-window     open nothing; print the page's address as \"URL: ...\"\n";
}

int RunApp(const AppOptions& options) {
    platform::IgnoreBrokenPipe();
    platform::RaiseOpenFileLimit();  // the page server must outlast idle strangers
    const AppPaths paths = ResolvePaths(options);
    LoadLogLevel(paths.config_path);
    OpenLogFolder(paths.log_folder);
    LogDebug("Soft start!");
    if (const int removed = platform::RemoveLeftoverTemporaries(paths.config_path))
        LogDebug("removed %d temporary file(s) left beside the settings file", removed);

    std::unique_ptr<MainFrame> frame;
    try {
        frame = std::make_unique<MainFrame>(paths);
    } catch (const std::exception& error) {
        LogLess("start-up failed: %s", error.what());
        std::fprintf(stderr, "merravine: %s\n", error.what());
        return 1;
    }

    // Whatever ends the program (the window, the page, a signal) closes the window;
    // the window may not exist yet when a signal comes, so the request waits for it.
    std::mutex window_mutex;
    DesktopWindow* window_for_close = nullptr;
    bool close_requested = false;
    auto request_close = [&] {
        std::lock_guard lock(window_mutex);
        close_requested = true;
        if (window_for_close != nullptr) window_for_close->RequestClose();
    };
    platform::TerminationSignals signals(request_close);

    HostOptions host_options;
    host_options.port = options.port;
    host_options.archive = EmbeddedArchiveReader();
    std::string error;
    auto host = Host::Start(
        std::move(host_options),
        [&frame](const std::string& name, const ScriptValue::Array& args) {
            return frame->OnScriptCall(name, args);
        },
        request_close, error);
    if (!host) {
        LogDebug("the page server did not start: %s", error.c_str());
        std::fprintf(stderr, "merravine: %s\n", error.c_str());
        return 255;
    }

    std::string launch_file;
    auto window = OpenWindow(options, host->Url(), launch_file);
    frame->Attach(&host->Bridge(), window.get());
    {
        std::lock_guard lock(window_mutex);
        window_for_close = window.get();
        if (close_requested) window->RequestClose();
    }
    window->Run();
    LogDebug("window closed");
    // A later start shows its notice first; once it is answered the running window comes
    // to the front, above the notice that has just gone.
    if (frame->AnotherInstanceRuns() && !platform::RingInstanceBell(InstanceBellPath()))
        LogDebug("the running instance could not be reached");

    {
        std::lock_guard lock(window_mutex);
        window_for_close = nullptr;
    }
    host->Stop();
    // The frame's release stops and joins every worker. A worker stuck in a call that
    // never returns (a folder on a hung mount) must not keep the closed program alive.
    if (!RunWithin([&frame] { frame.reset(); }, kWorkersGrace)) {
        LogDebug("workers did not end within %d s after the window closed; ending without them",
                 static_cast<int>(kWorkersGrace.count() / 1000));
        std::fflush(nullptr);
        std::_Exit(0);
    }
    host.reset();
    std::error_code ignored;
    if (!launch_file.empty()) std::filesystem::remove(launch_file, ignored);
    return 0;
}

}  // namespace merravine::shell
