// posix_spawnp-based launcher. A detached thread per child waits for it (waitpid) and
// reports its end through a condition variable, so the caller waits with a bound and no
// child is ever left a zombie.
#include "platform/os_launcher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

extern char** environ;

namespace merravine::platform {

namespace {

struct ChildState {
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    int exit_code = -1;
};

void Reap(pid_t pid, const std::shared_ptr<ChildState>& state) {
    int status = 0;
    pid_t got = -1;
    do {
        got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    int code = -1;
    if (got == pid && WIFEXITED(status)) code = WEXITSTATUS(status);
    if (got == pid && WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->exit_code = code;
    }
    state->ended.notify_all();
}

class SpawnLauncher final : public Launcher {
  public:
    LaunchResult Run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds wait) override {
        LaunchResult result;
        if (argv.empty()) return result;
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init(&actions) != 0) return result;
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        pid_t pid = -1;
        const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) return result;
        result.started = true;

        auto state = std::make_shared<ChildState>();
        try {
            std::thread([pid, state] {
                try {
                    Reap(pid, state);
                } catch (...) {
                    // Nothing to report to: the caller stops waiting at its bound.
                }
            }).detach();
        } catch (...) {
            // No thread for the reaper: wait here, whatever the bound.
            Reap(pid, state);
        }
        std::unique_lock lock(state->mutex);
        state->ended.wait_for(lock, wait, [&] { return state->finished; });
        result.finished = state->finished;
        result.exit_code = state->exit_code;
        return result;
    }
};

}  // namespace

Launcher& SystemLauncher() {
    static SpawnLauncher launcher;
    return launcher;
}

}  // namespace merravine::platform
