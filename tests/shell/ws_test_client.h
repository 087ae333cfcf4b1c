// A real WebSocket and HTTP client for the host's tests, written with Boost.Beast.
// Every operation has a deadline, so a server that misbehaves fails the test
// instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace merravine::testing {

/// The answer to a plain HTTP GET.
struct HttpAnswer {
    int status = 0;  ///< 0: no answer at all
    std::string content_type;
    std::string body;
};

/// Sends `GET target` with this Host header (empty: 127.0.0.1:PORT) and reads the answer.
HttpAnswer HttpGet(uint16_t port, const std::string& target, const std::string& host = "");

class WsTestClient {
  public:
    WsTestClient();
    ~WsTestClient();
    WsTestClient(const WsTestClient&) = delete;
    WsTestClient& operator=(const WsTestClient&) = delete;

    /// Opens a page connection with our own Origin and sends the launch secret as its
    /// first message, as the page does; true when the upgrade was accepted and the secret sent.
    bool Connect(uint16_t port, const std::string& secret);
    /// Opens a connection with every header chosen; returns the HTTP status of the
    /// upgrade's answer (101 when accepted). An empty origin sends none.
    int ConnectRaw(uint16_t port, const std::string& target, const std::string& host,
                   const std::string& origin);

    /// Sends one text (or binary) message; false when the connection is gone.
    bool Send(const std::string& text, bool binary = false);
    /// The next message; nullopt when the connection is closed (or nothing came within
    /// `limit`).
    std::optional<std::string> Read(std::chrono::seconds limit = std::chrono::seconds(60));
    /// Sends {"call":id,"name":name,"args":args_json} and reads the next message.
    std::optional<std::string> Call(uint64_t id, const std::string& name,
                                    const std::string& args_json);
    /// Closes the connection politely.
    void Close();
    /// True when the server has closed the connection (a read ends without a message).
    bool ClosedByServer();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace merravine::testing
