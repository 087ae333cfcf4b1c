#include "platform/signals_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

namespace merravine::platform {

namespace {

int g_signal_pipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

void SetHandler(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void()> on_signal)
    : on_signal_(std::move(on_signal)) {
    if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    SetHandler(SIGINT, OnTerminationSignal);
    SetHandler(SIGTERM, OnTerminationSignal);
    thread_ = std::thread([this] { Watch(); });
}

TerminationSignals::~TerminationSignals() {
    SetHandler(SIGINT, SIG_DFL);
    SetHandler(SIGTERM, SIG_DFL);
    if (stop_fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    if (stop_fd_ >= 0) close(stop_fd_);
}

void TerminationSignals::Watch() {
    pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents != 0) {
            char buffer[16];
            while (read(g_signal_pipe[0], buffer, sizeof buffer) > 0) {
            }
            if (on_signal_) on_signal_();
        }
    }
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace merravine::platform
