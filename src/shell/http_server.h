// The loopback HTTP + WebSocket server. This header keeps Boost.Beast out of every
// other file: only http_server.cpp includes it, so its long compile is paid once.
//
// One I/O thread runs every socket. It serves GET requests through `route` and
// accepts a WebSocket upgrade on /ws only when the Host and Origin are our own; the
// connection becomes the page's, and reaches `ServerEvents`, only when its first
// message is the launch secret (checks in host_security.h). Events reach `ServerEvents`
// on the I/O thread and must not block it. Send() and Close() may be called from any
// thread; they are carried to the I/O thread in call order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace merravine::shell {

/// An HTTP answer to a GET.
struct HttpReply {
    int status = 404;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
};

/// What the server tells its owner about page connections; called on the I/O thread.
class ServerEvents {
  public:
    virtual ~ServerEvents() = default;
    virtual void OnOpen(uint64_t connection) = 0;
    virtual void OnMessage(uint64_t connection, std::string text) = 0;
    virtual void OnClose(uint64_t connection) = 0;
};

struct ServerConfig {
    uint16_t port = 0;   ///< 0: a free port
    std::string secret;  ///< the first message of every page connection
    size_t max_message_bytes = 64u << 20;
    /// Bytes that may wait behind the message being written before the page is dropped.
    size_t max_queued_bytes = 64u << 20;
    /// How long a connection may stay without showing the secret (HTTP: between requests).
    std::chrono::milliseconds unproven_idle{10000};
    std::function<HttpReply(std::string_view target)> route;
};

class HttpServer {
  public:
    virtual ~HttpServer() = default;
    /// The port bound on 127.0.0.1.
    virtual uint16_t Port() const = 0;
    /// Queues a text message to a connection; dropped when it is gone.
    virtual void Send(uint64_t connection, std::shared_ptr<const std::string> text) = 0;
    /// Closes a connection once the messages queued before are written.
    virtual void Close(uint64_t connection) = 0;
    /// Writes what is queued (briefly), closes every socket and joins the I/O thread.
    virtual void Stop() = 0;
};

/// Binds 127.0.0.1 and starts the I/O thread; nullptr (and `error`) when it cannot bind.
std::unique_ptr<HttpServer> StartHttpServer(ServerConfig config, ServerEvents& events,
                                            std::string& error);

}  // namespace merravine::shell
