// Termination signals (SIGINT, SIGTERM) turned into an ordinary call on a thread of
// their own, so the program can shut down in order instead of dying mid-write.
// The handler only writes one byte to a pipe; the watch thread does the rest.
#pragma once

#include <functional>
#include <thread>

namespace merravine::platform {

class TerminationSignals {
  public:
    /// Installs the handlers; `on_signal` runs on the watch thread for each signal.
    explicit TerminationSignals(std::function<void()> on_signal);
    /// Restores the default handlers and ends the watch thread.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

  private:
    void Watch();

    std::function<void()> on_signal_;
    int stop_fd_ = -1;
    std::thread thread_;
};

/// Writes to a closed pipe or socket fail with EPIPE instead of killing the process.
void IgnoreBrokenPipe();

}  // namespace merravine::platform
