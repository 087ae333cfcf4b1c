// Starting other programs (the file manager, xdg-open, systemctl) without a shell.
//
// Every program is started from an argument vector with posix_spawnp, so no file name is
// ever read by a shell. The child gets /dev/null as its input and none of this process's
// other descriptors (no listening socket, no lock file leaks into a long-lived file
// manager). Tests hand the callers a recording fake instead of the system launcher.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace merravine::platform {

/// How a started program ended, as far as the launcher waited for it.
struct LaunchResult {
    bool started = false;   ///< the program was found and started
    bool finished = false;  ///< it ended within the wait
    int exit_code = -1;     ///< its exit status when finished (128 + signal when killed)
};

class Launcher {
  public:
    virtual ~Launcher() = default;
    /// Starts argv[0] (looked up on PATH) with `argv`, and waits up to `wait` for it to end.
    /// A program still running after the wait goes on; it is reaped when it ends.
    virtual LaunchResult Run(const std::vector<std::string>& argv,
                             std::chrono::milliseconds wait) = 0;
};

/// The launcher that starts real programs.
Launcher& SystemLauncher();

}  // namespace merravine::platform
