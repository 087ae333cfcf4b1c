#include "platform/window_browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace merravine::platform {

namespace {

std::string PrivateFolder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] == '/') return value;
    }
    return "/tmp";
}

std::string WriteLaunchFile(const std::string& url) {
    std::string path = PrivateFolder() + "/merravine-open-XXXXXX.html";
    const int fd = mkstemps(path.data(), 5);  // created with mode 0600
    if (fd < 0) return "";
    const std::string page =
        "<!DOCTYPE html><meta charset=\"utf-8\"><title>Corvantis Merravine</title>"
        "<script>location.replace(\"" +
        url + "\")</script>";
    const bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
    close(fd);
    if (!written) {
        unlink(path.c_str());
        return "";
    }
    return path;
}

}  // namespace

bool HasGraphicalSession() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

std::string OpenInBrowser(const std::string& url) {
    std::string path = WriteLaunchFile(url);
    if (path.empty()) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string file_url = "file://" + path;
    char program[] = "xdg-open";
    char* argv[] = {program, file_url.data(), nullptr};
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        unlink(path.c_str());
        return "";
    }
    // xdg-open hands over to the browser and ends; reap it so it leaves no zombie.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return path;
}

}  // namespace merravine::platform
