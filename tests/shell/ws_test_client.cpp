// clang-format off
#include <utility>  // Boost 1.74's asio headers need it under C++20 and do not include it
// clang-format on
#include "ws_test_client.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>

namespace merravine::testing {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr auto kDeadline = std::chrono::seconds(60);

// Runs the queued asynchronous work until `done` or the deadline; false on the deadline.
bool RunUntil(net::io_context& io, const bool& done,
              std::chrono::steady_clock::duration limit = kDeadline) {
    io.restart();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        if (io.run_one_until(deadline) == 0) break;
    }
    return done;
}

bool ConnectSocket(net::io_context& io, tcp::socket& socket, uint16_t port) {
    bool done = false;
    beast::error_code result;
    socket.async_connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port),
                         [&](beast::error_code ec) {
                             result = ec;
                             done = true;
                         });
    return RunUntil(io, done) && !result;
}

std::string DefaultHost(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace

HttpAnswer HttpGet(uint16_t port, const std::string& target, const std::string& host) {
    net::io_context io;
    tcp::socket socket(io);
    HttpAnswer answer;
    if (!ConnectSocket(io, socket, port)) return answer;
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, host.empty() ? DefaultHost(port) : host);
    bool done = false;
    beast::error_code result;
    http::async_write(socket, request, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!RunUntil(io, done) || result) return answer;
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    done = false;
    http::async_read(socket, buffer, response, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!RunUntil(io, done) || result) return answer;
    answer.status = static_cast<int>(response.result_int());
    answer.content_type = std::string(response[http::field::content_type]);
    answer.body = response.body();
    return answer;
}

struct WsTestClient::Impl {
    net::io_context io;
    std::optional<websocket::stream<tcp::socket>> stream;
    beast::flat_buffer buffer;
    bool closed_by_server = false;
};

WsTestClient::WsTestClient() : impl_(std::make_unique<Impl>()) {}

WsTestClient::~WsTestClient() = default;

bool WsTestClient::Connect(uint16_t port, const std::string& secret) {
    return ConnectRaw(port, "/ws", DefaultHost(port), "http://" + DefaultHost(port)) == 101 &&
           Send(secret);
}

int WsTestClient::ConnectRaw(uint16_t port, const std::string& target, const std::string& host,
                             const std::string& origin) {
    impl_->stream.emplace(impl_->io);
    impl_->closed_by_server = false;
    if (!ConnectSocket(impl_->io, impl_->stream->next_layer(), port)) return 0;
    impl_->stream->read_message_max(512u << 20);
    impl_->stream->set_option(
        websocket::stream_base::decorator([origin](websocket::request_type& request) {
            if (!origin.empty()) request.set(http::field::origin, origin);
        }));
    websocket::response_type response;
    bool done = false;
    beast::error_code result;
    impl_->stream->async_handshake(response, host, target, [&](beast::error_code ec) {
        result = ec;
        done = true;
    });
    if (!RunUntil(impl_->io, done)) return 0;
    return static_cast<int>(response.result_int());
}

bool WsTestClient::Send(const std::string& text, bool binary) {
    if (!impl_->stream) return false;
    impl_->stream->binary(binary);
    bool done = false;
    beast::error_code result;
    impl_->stream->async_write(net::buffer(text), [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    return RunUntil(impl_->io, done) && !result;
}

std::optional<std::string> WsTestClient::Read(std::chrono::seconds limit) {
    if (!impl_->stream) return std::nullopt;
    bool done = false;
    beast::error_code result;
    impl_->buffer.clear();
    impl_->stream->async_read(impl_->buffer, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!RunUntil(impl_->io, done, limit)) {
        beast::error_code ignored;
        impl_->stream->next_layer().close(ignored);
        RunUntil(impl_->io, done);
        return std::nullopt;
    }
    if (result) {
        impl_->closed_by_server = true;
        return std::nullopt;
    }
    return beast::buffers_to_string(impl_->buffer.data());
}

std::optional<std::string> WsTestClient::Call(uint64_t id, const std::string& name,
                                              const std::string& args_json) {
    if (!Send("{\"call\":" + std::to_string(id) + ",\"name\":\"" + name +
              "\",\"args\":" + args_json + "}")) {
        return std::nullopt;
    }
    return Read();
}

void WsTestClient::Close() {
    if (!impl_->stream || !impl_->stream->is_open()) return;
    bool done = false;
    impl_->stream->async_close(websocket::close_code::normal,
                               [&](beast::error_code) { done = true; });
    RunUntil(impl_->io, done);
}

bool WsTestClient::ClosedByServer() {
    if (!impl_->closed_by_server) Read();
    return impl_->closed_by_server;
}

}  // namespace merravine::testing
