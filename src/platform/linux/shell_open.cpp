// The file-manager requests, built as argument vectors for the launcher. The D-Bus call
// carries the path inside GVariant text; percent-encoding the URI keeps that text free of
// quotes and backslashes, so no file name can change what the call means.
#include "platform/shell_open.h"

#include <sys/stat.h>

#include <chrono>

#include "util/text.h"

namespace merravine::platform {

namespace {

using std::chrono::milliseconds;

// The session bus answers at once when no file manager offers the interface; the bound
// covers a file manager that has to be started first.
constexpr milliseconds kBusWait{6000};
// xdg-open may keep running as the opened program itself; past this it counts as asked.
constexpr milliseconds kOpenWait{3000};

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool Accepted(const LaunchResult& result) {
    return result.started && (!result.finished || result.exit_code == 0);
}

}  // namespace

std::string FileUri(const std::string& path) { return "file://" + PercentEncodePath(path); }

bool ShowItemInFileManager(Launcher& launcher, const std::string& path) {
    const std::vector<std::string> bus_call = {"gdbus",
                                               "call",
                                               "--session",
                                               "--timeout",
                                               "5",
                                               "--dest",
                                               "org.freedesktop.FileManager1",
                                               "--object-path",
                                               "/org/freedesktop/FileManager1",
                                               "--method",
                                               "org.freedesktop.FileManager1.ShowItems",
                                               "['" + FileUri(path) + "']",
                                               "''"};
    const LaunchResult bus = launcher.Run(bus_call, kBusWait);
    if (bus.started && bus.finished && bus.exit_code == 0) return true;
    return Accepted(launcher.Run({"xdg-open", ParentFolder(path)}, kOpenWait));
}

int OpenFolder(Launcher& launcher, const std::string& folder) {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return 2;
    const LaunchResult result = launcher.Run({"xdg-open", folder}, kOpenWait);
    if (!result.started) return 31;
    if (Accepted(result)) return 0;
    return result.exit_code >= 1 && result.exit_code <= 32 ? result.exit_code : 32;
}

int OpenWithDefaultApp(Launcher& launcher, const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 2;
    const LaunchResult result = launcher.Run({"xdg-open", path}, kOpenWait);
    if (!result.started) return 31;
    if (Accepted(result)) return 0;
    return result.exit_code >= 1 && result.exit_code <= 32 ? result.exit_code : 32;
}

}  // namespace merravine::platform
