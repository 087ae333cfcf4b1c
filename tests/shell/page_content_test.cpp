// What the page server hands out for a request target, and the header checks that keep
// other origins and other hosts away from the commands.
#include "shell/page_content.h"

#include <gtest/gtest.h>

#include "shell/host_security.h"

namespace merravine::shell {
namespace {

TEST(PageContent, RequestPathsAreCheckedBeforeTheArchiveIsAsked) {
    const struct {
        const char* target;
        const char* path;  // nullptr: refused
    } cases[] = {
        {"/app/index.html", "/app/index.html"},
        {"/app/main/a%20b.html?x=1#frag", "/app/main/a b.html"},
        {"/app/", "/app/"},
        {"/app/../etc/passwd", nullptr},
        {"/app/%2e%2e/etc/passwd", nullptr},
        {"/app/main/../../x", nullptr},
        {"/app/./index.html", nullptr},
        {"/app//index.html", nullptr},
        {"/app/a%5c..%5cb", nullptr},
        {"/app/a%00b", nullptr},
        {"/app/%zz", nullptr},
        {"/app/%2", nullptr},
        {"app/index.html", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const auto path = CleanRequestPath(c.target);
        if (c.path == nullptr) {
            EXPECT_FALSE(path.has_value()) << c.target;
        } else {
            ASSERT_TRUE(path.has_value()) << c.target;
            EXPECT_EQ(*path, c.path) << c.target;
        }
    }
}

TEST(PageContent, RoutesAndTypes) {
    std::string asked;
    const ArchiveReader archive = [&](std::string_view path) -> std::optional<std::string> {
        asked = path;
        if (path == "index.html" || path == "tis/common.tis" || path == "images/logo.PNG")
            return "bytes";
        return std::nullopt;
    };
    const struct {
        const char* target;
        int status;
        const char* type;
    } cases[] = {
        {"/app/index.html", 200, "text/html; charset=utf-8"},
        {"/app/tis/common.tis", 200, "text/javascript; charset=utf-8"},
        {"/app/images/logo.PNG", 200, "image/png"},
        {"/app/missing.html", 404, nullptr},
        {"/app/../index.html", 404, nullptr},
        {"/index.html", 404, nullptr},
        {"/view.js", 200, "text/javascript; charset=utf-8"},
        {"/", 302, nullptr},
        {"/favicon.ico", 204, nullptr},
    };
    for (const auto& c : cases) {
        const HttpReply reply = RoutePageRequest(c.target, archive);
        EXPECT_EQ(reply.status, c.status) << c.target;
        if (c.type != nullptr) {
            EXPECT_EQ(reply.content_type, c.type) << c.target;
        }
    }
    RoutePageRequest("/app/tis/common.tis", archive);
    EXPECT_EQ(asked, "tis/common.tis");
    EXPECT_NE(RoutePageRequest("/view.js", archive).body.find("window.view"), std::string::npos);
    EXPECT_EQ(MimeTypeFor("main/x.css"), "text/css; charset=utf-8");
    EXPECT_EQ(MimeTypeFor("dir.d/noext"), "application/octet-stream");
}

TEST(HostSecurity, HeadersMustNameUs) {
    EXPECT_TRUE(HostAllowed("127.0.0.1:8080", 8080));
    EXPECT_TRUE(HostAllowed("localhost:8080", 8080));
    for (const char* host : {"127.0.0.1:8081", "127.0.0.1", "evil.example:8080", "",
                             "localhost.evil:8080", "127.0.0.1:8080.evil"}) {
        EXPECT_FALSE(HostAllowed(host, 8080)) << host;
    }
    EXPECT_TRUE(OriginAllowed("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(OriginAllowed("http://localhost:8080", "localhost:8080"));
    for (const char* origin : {"", "null", "http://127.0.0.1:8081", "https://127.0.0.1:8080",
                               "http://localhost:8080", "http://evil.example"}) {
        EXPECT_FALSE(OriginAllowed(origin, "127.0.0.1:8080")) << origin;
    }
    const std::string secret = NewLaunchSecret();
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(secret, NewLaunchSecret());
    EXPECT_TRUE(UpgradeTargetAllowed("/ws"));
    EXPECT_FALSE(UpgradeTargetAllowed("/ws?t=" + secret));
    EXPECT_FALSE(UpgradeTargetAllowed("/other"));
    EXPECT_TRUE(SecretMatches(secret, secret));
    EXPECT_FALSE(SecretMatches(secret.substr(1), secret));
    EXPECT_FALSE(SecretMatches(secret + "0", secret));
    EXPECT_FALSE(SecretMatches("", secret));
    EXPECT_FALSE(SecretMatches("", ""));
}

}  // namespace
}  // namespace merravine::shell
