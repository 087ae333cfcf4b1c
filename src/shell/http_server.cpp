// Boost.Beast transport of the loopback server: HTTP sessions for the documents, one
// WebSocket session per page connection. Everything here runs on the one I/O thread;
// the only entries from other threads are Send(), Close() and Stop(), which post.
//
// A WebSocket stream allows one write in flight, so each session keeps its own queue
// of outgoing messages. A message above the size limit, a binary frame or text that
// is not UTF-8 ends that connection only; the server stays up.
// clang-format off
#include <utility>  // Boost 1.74's asio headers need it under C++20 and do not include it
// clang-format on
#include "shell/http_server.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <thread>
#include <unordered_map>

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

constexpr auto kHttpIdleTimeout = std::chrono::seconds(30);
constexpr auto kStopFlushTimeout = std::chrono::seconds(2);

class Server;

class WsSession : public std::enable_shared_from_this<WsSession> {
  public:
    WsSession(tcp::socket socket, Server& server, uint64_t id);
    void Accept(const http::request<http::string_body>& request);
    void Send(std::shared_ptr<const std::string> text);
    void CloseAfterWrites();
    void CloseNow();
    uint64_t Id() const { return id_; }

  private:
    void OnAccept(beast::error_code error);
    void Read();
    void OnRead(beast::error_code error, size_t bytes);
    void Write();
    void OnWrite(beast::error_code error, size_t bytes);
    void Finish();

    websocket::stream<beast::tcp_stream> stream_;
    Server& server_;
    uint64_t id_;
    beast::flat_buffer buffer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    bool open_ = false;
    bool close_after_writes_ = false;
    bool finished_ = false;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, Server& server) : stream_(std::move(socket)), server_(server) {}
    void Start() { Read(); }
    void CloseNow() {
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
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

class Server final : public HttpServer {
  public:
    Server(ServerConfig config, ServerEvents& events)
        : config_(std::move(config)), events_(events), acceptor_(io_), stop_timer_(io_) {}
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
            for (auto& [id, weak] : http_sessions_) {
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

    void Opened(const std::shared_ptr<WsSession>& session) {
        ws_sessions_[session->Id()] = session;
        events_.OnOpen(session->Id());
    }

    void Closed(uint64_t id) {
        ws_sessions_.erase(id);
        events_.OnClose(id);
        StopWhenIdle();
    }

    void Upgrade(tcp::socket socket, http::request<http::string_body> request) {
        auto session = std::make_shared<WsSession>(std::move(socket), *this, next_id_++);
        session->Accept(request);
    }

    void ForgetHttp(const HttpSession* session) { http_sessions_.erase(session); }

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
                if (ec) {
                    if (!stopping_ && ec != net::error::operation_aborted) Accept();
                    return;
                }
                beast::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                auto session = std::make_shared<HttpSession>(std::move(socket), *this);
                http_sessions_[session.get()] = session;
                session->Start();
                Accept();
            });
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
    std::thread thread_;
    uint16_t port_ = 0;
    uint64_t next_id_ = 1;
    bool stopping_ = false;
    std::atomic<bool> stopped_{false};
    std::unordered_map<uint64_t, std::weak_ptr<WsSession>> ws_sessions_;
    std::unordered_map<const HttpSession*, std::weak_ptr<HttpSession>> http_sessions_;
};

// ---- HTTP ----

void HttpSession::Read() {
    parser_.emplace();
    parser_->header_limit(16 * 1024);
    parser_->body_limit(uint64_t{64} * 1024);
    stream_.expires_after(kHttpIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
}

void HttpSession::OnRead(beast::error_code error, size_t) {
    if (error) {
        server_.ForgetHttp(this);
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
        if (!UpgradeTargetAllowed(Std(request.target()), server_.Config().secret)) {
            return refuse(http::status::forbidden, "no valid launch secret");
        }
        if (!OriginAllowed(origin, host))
            return refuse(http::status::forbidden, "origin not allowed");
        server_.ForgetHttp(this);
        stream_.expires_never();
        server_.Upgrade(stream_.release_socket(), std::move(request));
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
                              self->server_.ForgetHttp(self.get());
                              self->CloseNow();
                              return;
                          }
                          self->Read();
                      });
}

// ---- WebSocket ----

WsSession::WsSession(tcp::socket socket, Server& server, uint64_t id)
    : stream_(std::move(socket)), server_(server), id_(id) {}

void WsSession::Accept(const http::request<http::string_body>& request) {
    stream_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    stream_.read_message_max(server_.Config().max_message_bytes);
    stream_.auto_fragment(false);
    stream_.async_accept(request,
                         beast::bind_front_handler(&WsSession::OnAccept, shared_from_this()));
}

void WsSession::OnAccept(beast::error_code error) {
    if (error) return;
    open_ = true;
    server_.Opened(shared_from_this());
    Read();
}

void WsSession::Read() {
    stream_.async_read(buffer_, beast::bind_front_handler(&WsSession::OnRead, shared_from_this()));
}

void WsSession::OnRead(beast::error_code error, size_t) {
    if (error) {
        if (error != websocket::error::closed && error != net::error::operation_aborted) {
            LogDebug("page connection %llu ended: %s", static_cast<unsigned long long>(id_),
                     error.message().c_str());
        }
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
    buffer_.consume(buffer_.size());
    server_.Events().OnMessage(id_, std::move(text));
    Read();
}

void WsSession::Send(std::shared_ptr<const std::string> text) {
    if (finished_ || close_after_writes_) return;
    queue_.push_back(std::move(text));
    if (queue_.size() == 1) Write();
}

void WsSession::Write() {
    stream_.text(true);
    stream_.async_write(net::buffer(*queue_.front()),
                        beast::bind_front_handler(&WsSession::OnWrite, shared_from_this()));
}

void WsSession::OnWrite(beast::error_code error, size_t) {
    if (error) {
        queue_.clear();
        CloseNow();
        return;
    }
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
    queue_.clear();
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
