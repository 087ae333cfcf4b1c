// The bell over a Unix stream socket. A ring is one connection; nothing is read or
// written, so a caller that connects and stays silent cannot hold the bell up. The
// listening socket is woken for the end by shutdown(), which makes accept() return.
#include "platform/instance_bell.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace merravine::platform {

namespace {

bool MakeAddress(const std::filesystem::path& path, sockaddr_un& address) {
    const std::string text = path.string();
    address = {};
    address.sun_family = AF_UNIX;
    if (text.empty() || text.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

bool PeerIsThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

}  // namespace

std::unique_ptr<InstanceBell> InstanceBell::Listen(const std::filesystem::path& socket_path,
                                                   std::function<void()> on_ring) {
    sockaddr_un address{};
    if (!MakeAddress(socket_path, address)) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Only the holder of the single-instance flag listens, so a socket file left here
    // belongs to an instance that has ended.
    std::error_code ignored;
    if (std::filesystem::is_socket(socket_path, ignored))
        std::filesystem::remove(socket_path, ignored);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<InstanceBell>(new InstanceBell(fd, socket_path, std::move(on_ring)));
}

InstanceBell::InstanceBell(int fd, std::filesystem::path path, std::function<void()> on_ring)
    : fd_(fd), path_(std::move(path)), on_ring_(std::move(on_ring)) {
    thread_ = std::thread([this] { Serve(); });
}

InstanceBell::~InstanceBell() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(fd_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

void InstanceBell::Serve() {
    for (;;) {
        const int caller = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (caller < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // shut down, or the socket is gone
        }
        const bool ours = PeerIsThisUser(caller);
        close(caller);
        if (!ours || !on_ring_) continue;
        try {
            on_ring_();
        } catch (...) {
            // A ring that cannot be answered is dropped; the bell goes on listening.
        }
    }
}

bool RingInstanceBell(const std::filesystem::path& socket_path) {
    sockaddr_un address{};
    if (!MakeAddress(socket_path, address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int connected = -1;
    do {
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    const bool rung = connected == 0 && PeerIsThisUser(fd);
    close(fd);
    return rung;
}

}  // namespace merravine::platform
