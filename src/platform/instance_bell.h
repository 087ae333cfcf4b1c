// The single-instance bell: the running instance listens on a Unix socket beside its
// single-instance flag; a later start that finds the flag taken rings it, and the
// running instance brings its window to the front. Only a process of the same user can
// ring: the listener checks the caller's credentials (SO_PEERCRED), so a socket in a
// shared folder cannot be used by another local user, and the ringer checks the
// listener's the same way.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace merravine::platform {

class InstanceBell {
  public:
    /// Listens at `socket_path` (a stale socket file there is replaced) and runs `on_ring`
    /// on the bell's own thread for every ring; nullptr when the socket cannot be made.
    static std::unique_ptr<InstanceBell> Listen(const std::filesystem::path& socket_path,
                                                std::function<void()> on_ring);
    /// Stops listening, waits for the bell's thread and removes the socket file.
    ~InstanceBell();
    InstanceBell(const InstanceBell&) = delete;
    InstanceBell& operator=(const InstanceBell&) = delete;

  private:
    InstanceBell(int fd, std::filesystem::path path, std::function<void()> on_ring);
    void Serve();

    int fd_;
    std::filesystem::path path_;
    std::function<void()> on_ring_;
    std::thread thread_;
};

/// Rings the bell at `socket_path`; true when a listener of this user took the ring.
bool RingInstanceBell(const std::filesystem::path& socket_path);

}  // namespace merravine::platform
