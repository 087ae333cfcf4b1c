// The page server's request path over any bytes: the HTTP parser with the server's
// limits, then the checks and the routing that the server applies to what it read.
// clang-format off
#include <utility>  // Boost 1.74's asio headers need it under C++20 and do not include it
// clang-format on
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "shell/host_security.h"
#include "shell/page_content.h"

namespace http = boost::beast::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merravine::shell;
    http::request_parser<http::string_body> parser;
    parser.header_limit(16 * 1024);
    parser.body_limit(64 * 1024);
    parser.eager(true);
    boost::beast::error_code error;
    parser.put(boost::asio::buffer(data, size), error);
    if (error || !parser.is_header_done()) return 0;
    const auto& request = parser.get();
    const std::string host(request[http::field::host]);
    const std::string origin(request[http::field::origin]);
    const std::string target(request.target());
    HostAllowed(host, 8080);
    OriginAllowed(origin, host);
    UpgradeTargetAllowed(target);
    SecretMatches(std::string(request.body()), "0123456789abcdef0123456789abcdef");
    const ArchiveReader archive = [](std::string_view path) -> std::optional<std::string> {
        if (path == "index.html") return std::string("<html></html>");
        return std::nullopt;
    };
    RoutePageRequest(target, archive);
    CleanRequestPath(target);
    return 0;
}
