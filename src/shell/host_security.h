// The checks that keep the page connection to our own page: no other local user and
// no web page the user visits may reach a command. A request must name our host
// (127.0.0.1:PORT or localhost:PORT: no DNS rebinding), a WebSocket upgrade must come
// from our page's own origin, and the connection's first message must be the launch
// secret. The secret never travels in a request line, where logs and proxies see it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merravine::shell {

/// A fresh secret: 128 random bits as 32 hex digits.
std::string NewLaunchSecret();

/// True when the Host header names this server.
bool HostAllowed(std::string_view host, uint16_t port);
/// True when the Origin header is the page's own, the one its Host header names.
bool OriginAllowed(std::string_view origin, std::string_view host);
/// True when the upgrade target is the page connection's, /ws.
bool UpgradeTargetAllowed(std::string_view target);
/// True when a connection's first message is the launch secret (compared in constant time).
bool SecretMatches(std::string_view message, std::string_view secret);

/// The path of a request target with %XX decoded and the query dropped; nullopt
/// when it holds a "." or ".." segment, an empty segment, a backslash or a NUL.
std::optional<std::string> CleanRequestPath(std::string_view target);

}  // namespace merravine::shell
