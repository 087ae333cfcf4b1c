#include "shell/page_content.h"

#include <algorithm>
#include <array>
#include <utility>

#include "shell/host_security.h"
#include "util/text.h"

namespace merravine::shell {

namespace {

HttpReply NotFound() { return HttpReply{404, "text/plain; charset=utf-8", "not found"}; }

}  // namespace

std::string MimeTypeFor(std::string_view path) {
    static const std::array<std::pair<std::string_view, std::string_view>, 17> kTypes = {{
        {"html", "text/html; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"mjs", "text/javascript; charset=utf-8"},
        {"tis", "text/javascript; charset=utf-8"},
        {"json", "application/json; charset=utf-8"},
        {"txt", "text/plain; charset=utf-8"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"ico", "image/x-icon"},
        {"webp", "image/webp"},
        {"woff", "font/woff"},
        {"woff2", "font/woff2"},
    }};
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return "application/octet-stream";
    }
    const std::string extension = AsciiLowered(path.substr(dot + 1));
    for (const auto& [known, type] : kTypes) {
        if (extension == known) return std::string(type);
    }
    return "application/octet-stream";
}

HttpReply RoutePageRequest(std::string_view target, const ArchiveReader& archive) {
    const auto path = CleanRequestPath(target);
    if (!path) return NotFound();
    if (*path == "/view.js")
        return HttpReply{200, "text/javascript; charset=utf-8", std::string(kViewScript)};
    if (*path == "/favicon.ico") return HttpReply{204, "image/x-icon", ""};
    if (*path == "/" || *path == "/app" || *path == "/app/")
        return HttpReply{302, "", "/app/index.html"};
    constexpr std::string_view kApp = "/app/";
    if (path->compare(0, kApp.size(), kApp) != 0 || !archive) return NotFound();
    const std::string_view item = std::string_view(*path).substr(kApp.size());
    auto bytes = archive(item);
    if (!bytes) return NotFound();
    return HttpReply{200, MimeTypeFor(item), std::move(*bytes)};
}

}  // namespace merravine::shell
