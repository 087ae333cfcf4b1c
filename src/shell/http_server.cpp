// Boost.Beast transport of the loopback server: HTTP sessions for the documents, one
// WebSocket session per page connection. Everything here runs on the one I/O thread;
// the only entries from other threads are Send(), Close() and Stop(), which post.
//
// A WebSocket stream allows one write in flight, so each session keeps its own queue
// of outgoing messages, bounded in bytes: a page that stops reading is dropped and its
// queue freed. A message above the size limit, a binary frame or text that is not
// UTF-8 ends that connection only; the server stays up.
//
// Any local user can connect to a loopback port, so connections that have not shown
// the launch secret (every HTTP connection, and a WebSocket until its first message)
// are "unproven": there are at most kMaxUnproven of them, the oldest is closed to make
// room for a new one, and each is closed after kUnprovenIdle without progress. When
// accept() runs out of descriptors it closes the oldest unproven connection, or waits
// a moment, instead of trying again at once; so idle strangers can neither exhaust the
// descriptors nor keep the page's own reconnection out.
// clang-format off
#include <utility>  // Boost 1.74's asio headers need it under C++20 and do not include it
// clang-format on
#include "shell/http_server.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>

#include "platform/heap_release.h"
#include "shell/host_security.h"
#include "util/log.h"

namespace merravine::shell {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string_view Std(beast::string_view text) { return {text.data(), text.size()}; }

constexpr auto kStopFlushTimeout = std::chrono::seconds(2);
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr size_t kMaxUnproven = 64;
// A connection that has not shown the secret may send only a message this long.
constexpr size_t kUnprovenMessageMax = 1024;

class Server;

// A connection the server may have to close before it has shown the secret.
class Unproven {
  public:
    virtual ~Unproven() = default;
    virtual void CloseNow() = 0;
};

class WsSession : public Unproven, public std::enable_shared_from_this<WsSession> {
  public:
    WsSession(tcp::socket socket, Server& server, uint64_t id);
    ~WsSession() override {
        // What a page that stopped reading left behind goes back to the system now.
        if (overflowed_) platform::ReleaseFreeHeap();
    }
    void Accept(const http::request<http::string_body>& request);
    void Send(std::shared_ptr<const std::string> text);
    void CloseAfterWrites();
    void CloseNow() override;
    uint64_t Id() const { return id_; }

  private:
    void OnAccept(beast::error_code error);
    void Read();
    void OnRead(beast::error_code error, size_t bytes);
    void OnSecret(const std::string& text);
    void Write();
    void OnWrite(beast::error_code error, size_t bytes);
    void Finish();

    websocket::stream<beast::tcp_stream> stream_;
    Server& server_;
    uint64_t id_;
    net::steady_timer secret_timer_;
    beast::flat_buffer buffer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    size_t queued_bytes_ = 0;
    bool proven_ = false;
    bool overflowed_ = false;
    bool open_ = false;
    bool close_after_writes_ = false;
    bool finished_ = false;
};

class HttpSession : public Unproven, public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, Server& server, uint64_t id)
        : stream_(std::move(socket)), server_(server), id_(id) {}
    void Start() { Read(); }
    void CloseNow() override {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

  private:
    void Read();
    void OnRead(beast::error_code error, size_t bytes);
    void Answer(http::response<http::string_body> response);

    beast::tcp_stream stream_;
    Server& server_;
    uint64_t id_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

class Server final : public HttpServer {
  public:
    Server(ServerConfig config, ServerEvents& events)
        : config_(std::move(config)),
          events_(events),
          acceptor_(io_),
          stop_timer_(io_),
          accept_timer_(io_) {}
    ~Server() override { Stop(); }

    bool Bind(std::string& error) {
        beast::error_code ec;
        const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), config_.port);
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            error =
                "cannot listen on 127.0.0.1:" + std::to_string(config_.port) + ": " + ec.message();
            return false;
        }
        port_ = acceptor_.local_endpoint().port();
        Accept();
        thread_ = std::thread([this] { RunIo(); });
        return true;
    }

    uint16_t Port() const override { return port_; }

    void Send(uint64_t connection, std::shared_ptr<const std::string> text) override {
        net::post(io_, [this, connection, text = std::move(text)]() mutable {
            if (auto session = Find(connection)) session->Send(std::move(text));
        });
    }

    void Close(uint64_t connection) override {
        net::post(io_, [this, connection] {
            if (auto session = Find(connection)) session->CloseAfterWrites();
        });
    }

    void Stop() override {
        if (stopped_.exchange(true)) return;
        net::post(io_, [this] {
            stopping_ = true;
            beast::error_code ignored;
            acceptor_.close(ignored);
            accept_timer_.cancel();
            auto unproven = std::move(unproven_);
            unproven_.clear();
            for (auto& [id, weak] : unproven) {
                if (auto session = weak.lock()) session->CloseNow();
            }
            for (auto& [id, weak] : ws_sessions_) {
                if (auto session = weak.lock()) session->CloseAfterWrites();
            }
            StopWhenIdle();
            stop_timer_.expires_after(kStopFlushTimeout);
            stop_timer_.async_wait([this](beast::error_code) { io_.stop(); });
        });
        if (thread_.joinable()) thread_.join();
    }

    // I/O thread only, below.
    const ServerConfig& Config() const { return config_; }
    ServerEvents& Events() { return events_; }

    // A page connection that has shown the secret.
    void Opened(const std::shared_ptr<WsSession>& session) {
        unproven_.erase(session->Id());
        ws_sessions_[session->Id()] = session;
        events_.OnOpen(session->Id());
    }

    void Closed(uint64_t id) {
        ws_sessions_.erase(id);
        events_.OnClose(id);
        StopWhenIdle();
    }

    void Upgrade(tcp::socket socket, const http::request<http::string_body>& request) {
        auto session = std::make_shared<WsSession>(std::move(socket), *this, next_id_++);
        MakeRoom();
        unproven_[session->Id()] = session;
        session->Accept(request);
    }

    void Forget(uint64_t id) { unproven_.erase(id); }

    bool Stopping() const { return stopping_; }

  private:
    void RunIo() {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& error) {
                LogDebug("server I/O error: %s", error.what());
            }
        }
    }

    void Accept() {
        acceptor_.async_accept(
            net::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
                if (stopping_ || ec == net::error::operation_aborted) return;
                if (ec) return AcceptFailed(ec);
                beast::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                auto session = std::make_shared<HttpSession>(std::move(socket), *this, next_id_++);
                MakeRoom();
                unproven_[next_id_ - 1] = session;
                session->Start();
                Accept();
            });
    }

    // Out of descriptors (or kernel memory): the waiting connection stays queued, so
    // trying again at once would spin. A stranger's connection gives its descriptor
    // back; without one to close, wait a moment.
    void AcceptFailed(beast::error_code ec) {
        const bool out_of_descriptors = ec == net::error::no_descriptors || ec.value() == ENFILE ||
                                        ec == net::error::no_buffer_space ||
                                        ec == net::error::no_memory;
        if (out_of_descriptors && CloseOldestUnproven()) return Accept();
        if (out_of_descriptors && !logged_exhaustion_) {
            logged_exhaustion_ = true;
            LogDebug("page server: no descriptor left for a new connection (%s)",
                     ec.message().c_str());
        }
        accept_timer_.expires_after(kAcceptBackoff);
        accept_timer_.async_wait([this](beast::error_code timer_error) {
            if (!timer_error && !stopping_) Accept();
        });
    }

    bool CloseOldestUnproven() {
        while (!unproven_.empty()) {
            auto oldest = unproven_.begin()->second.lock();
            unproven_.erase(unproven_.begin());
            if (oldest) {
                oldest->CloseNow();
                return true;
            }
        }
        return false;
    }

    void MakeRoom() {
        while (unproven_.size() >= kMaxUnproven && CloseOldestUnproven()) {
        }
    }

    std::shared_ptr<WsSession> Find(uint64_t id) {
        const auto found = ws_sessions_.find(id);
        return found == ws_sessions_.end() ? nullptr : found->second.lock();
    }

    void StopWhenIdle() {
        if (stopping_ && ws_sessions_.empty()) io_.stop();
    }

    ServerConfig config_;
    ServerEvents& events_;
    net::io_context io_{1};
    tcp::acceptor acceptor_;
    net::steady_timer stop_timer_;
    net::steady_timer accept_timer_;
    std::thread thread_;
    uint16_t port_ = 0;
    uint64_t next_id_ = 1;
    bool stopping_ = false;
    bool logged_exhaustion_ = false;
    std::atomic<bool> stopped_{false};
    std::unordered_map<uint64_t, std::weak_ptr<WsSession>> ws_sessions_;
    // Connections that have not shown the secret, oldest (lowest id) first.
    std::map<uint64_t, std::weak_ptr<Unproven>> unproven_;
};

// ---- HTTP ----

void HttpSession::Read() {
    parser_.emplace();
    parser_->header_limit(std::uint32_t{16} * 1024);
    parser_->body_limit(std::uint64_t{64} * 1024);
    stream_.expires_after(server_.Config().unproven_idle);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
}

void HttpSession::OnRead(beast::error_code error, size_t) {
    if (error) {
        server_.Forget(id_);
        CloseNow();
        return;
    }
    auto request = parser_->release();
    const uint16_t port = server_.Port();
    const std::string host(Std(request[http::field::host]));

    auto refuse = [&](http::status status, const char* why) {
        LogDebug("page server refused a request: %s", why);
        http::response<http::string_body> response{status, request.version()};
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = why;
        response.keep_alive(false);
        Answer(std::move(response));
    };

    if (!HostAllowed(host, port)) return refuse(http::status::forbidden, "host not allowed");
    if (websocket::is_upgrade(request)) {
        const std::string origin(Std(request[http::field::origin]));
        if (!UpgradeTargetAllowed(Std(request.target())))
            return refuse(http::status::forbidden, "not the page connection");
        if (!OriginAllowed(origin, host))
            return refuse(http::status::forbidden, "origin not allowed");
        server_.Forget(id_);
        stream_.expires_never();
        server_.Upgrade(stream_.release_socket(), request);
        return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return refuse(http::status::method_not_allowed, "method not allowed");
    }
    const HttpReply reply = server_.Config().route(Std(request.target()));
    http::response<http::string_body> response{static_cast<http::status>(reply.status),
                                               request.version()};
    response.set(http::field::content_type, reply.content_type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    if (reply.status == 302) response.set(http::field::location, reply.body);
    if (request.method() != http::verb::head && reply.status != 302) response.body() = reply.body;
    response.keep_alive(request.keep_alive());
    Answer(std::move(response));
}

void HttpSession::Answer(http::response<http::string_body> response) {
    response.prepare_payload();
    auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
    http::async_write(stream_, *shared,
                      [self = shared_from_this(), shared](beast::error_code error, size_t) {
                          if (error || !shared->keep_alive() || self->server_.Stopping()) {
                              self->server_.Forget(self->id_);
                              self->CloseNow();
                              return;
                          }
                          self->Read();
                      });
}

// ---- WebSocket ----

WsSession::WsSession(tcp::socket socket, Server& server, uint64_t id)
    : stream_(std::move(socket)), server_(server), id_(id), secret_timer_(stream_.get_executor()) {}

void WsSession::Accept(const http::request<http::string_body>& request) {
    stream_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    stream_.read_message_max(kUnprovenMessageMax);
    stream_.auto_fragment(false);
    // The handshake and the first message together get the unproven idle time.
    secret_timer_.expires_after(server_.Config().unproven_idle);
    secret_timer_.async_wait([weak = weak_from_this()](beast::error_code error) {
        auto self = weak.lock();
        if (error || !self || self->proven_) return;
        self->server_.Forget(self->id_);
        self->CloseNow();
    });
    stream_.async_accept(request,
                         beast::bind_front_handler(&WsSession::OnAccept, shared_from_this()));
}

void WsSession::OnAccept(beast::error_code error) {
    if (error) {
        server_.Forget(id_);
        secret_timer_.cancel();
        return;
    }
    Read();
}

// The first message must be the launch secret; nothing else is read before it.
void WsSession::OnSecret(const std::string& text) {
    secret_timer_.cancel();
    if (!SecretMatches(text, server_.Config().secret)) {
        LogDebug("page server refused a connection: its first message was not the secret");
        server_.Forget(id_);
        CloseNow();
        return;
    }
    proven_ = true;
    open_ = true;
    stream_.read_message_max(server_.Config().max_message_bytes);
    server_.Opened(shared_from_this());
}

void WsSession::Read() {
    stream_.async_read(buffer_, beast::bind_front_handler(&WsSession::OnRead, shared_from_this()));
}

void WsSession::OnRead(beast::error_code error, size_t) {
    if (error) {
        if (open_ && error != websocket::error::closed && error != net::error::operation_aborted) {
            LogDebug("page connection %llu ended: %s", static_cast<unsigned long long>(id_),
                     error.message().c_str());
        }
        if (!proven_) server_.Forget(id_);
        Finish();
        return;
    }
    if (!stream_.got_text()) {
        LogDebug("page connection %llu sent a binary message",
                 static_cast<unsigned long long>(id_));
        CloseNow();
        Finish();
        return;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.clear();
    buffer_.shrink_to_fit();  // one big message must not keep its buffer for the session's life
    if (!proven_) {
        OnSecret(text);
        if (!proven_) return;
    } else {
        server_.Events().OnMessage(id_, std::move(text));
    }
    Read();
}

void WsSession::Send(std::shared_ptr<const std::string> text) {
    if (finished_ || close_after_writes_ || !proven_) return;
    queued_bytes_ += text->size();
    queue_.push_back(std::move(text));
    // The message being written may be big on its own; what waits behind it may not.
    if (queue_.size() > 1 && queued_bytes_ > server_.Config().max_queued_bytes) {
        LogDebug("page connection %llu does not read its messages; closing it",
                 static_cast<unsigned long long>(id_));
        queue_.clear();
        queued_bytes_ = 0;
        close_after_writes_ = true;
        overflowed_ = true;
        CloseNow();
        return;
    }
    if (queue_.size() == 1) Write();
}

void WsSession::Write() {
    stream_.text(true);
    // The handler holds the message: the queue may be dropped while it is written.
    auto message = queue_.front();
    stream_.async_write(net::buffer(*message),
                        [self = shared_from_this(), message](beast::error_code error, size_t n) {
                            self->OnWrite(error, n);
                        });
}

void WsSession::OnWrite(beast::error_code error, size_t) {
    if (error || queue_.empty()) {
        queue_.clear();
        queued_bytes_ = 0;
        CloseNow();
        return;
    }
    queued_bytes_ -= queue_.front()->size();
    queue_.pop_front();
    if (!queue_.empty()) {
        Write();
    } else if (close_after_writes_) {
        CloseNow();
    }
}

void WsSession::CloseAfterWrites() {
    close_after_writes_ = true;
    if (queue_.empty()) CloseNow();
}

void WsSession::CloseNow() {
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream_).close();
}

void WsSession::Finish() {
    if (finished_) return;
    finished_ = true;
    secret_timer_.cancel();
    queue_.clear();
    queued_bytes_ = 0;
    if (open_) server_.Closed(id_);
}

}  // namespace

std::unique_ptr<HttpServer> StartHttpServer(ServerConfig config, ServerEvents& events,
                                            std::string& error) {
    auto server = std::make_unique<Server>(std::move(config), events);
    if (!server->Bind(error)) return nullptr;
    return server;
}

}  // namespace merravine::shell
