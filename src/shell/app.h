// The desktop program from start to end: the command line, the start-up order, the
// window, and the shutdown that stops every thread before the objects they use go.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace merravine::shell {

struct AppOptions {
    std::string data_dir;  ///< empty: MERRAVINE_DATA_DIR, else the program's or the user's folders
    uint16_t port = 0;     ///< 0: a free port
    bool no_window = false;  ///< only print the address
    bool show_version = false;
    bool show_help = false;
};

/// Reads the desktop program's options; nullopt (and `error`) for a bad command line.
std::optional<AppOptions> ParseAppOptions(int argc, char** argv, std::string& error);

/// The usage text.
const char* AppUsage();

/// Runs the desktop program; returns the process exit code (255 when the host cannot start).
int RunApp(const AppOptions& options);

/// Runs `work` on a thread of its own and waits for it at most `limit`: true when it
/// ended in time; false when it did not, in which case the thread is left running.
bool RunWithin(std::function<void()> work, std::chrono::milliseconds limit);

}  // namespace merravine::shell
