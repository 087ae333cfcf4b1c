#include "shell/host_security.h"

#include <random>

#include "util/text.h"

namespace merravine::shell {

namespace {

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    }
    return difference == 0;
}

}  // namespace

std::string NewLaunchSecret() {
    std::random_device device;  // getrandom() on glibc
    std::string secret;
    for (int word = 0; word < 4; ++word) {
        const uint32_t bits = device();
        for (int shift = 28; shift >= 0; shift -= 4) secret += kHexLower[(bits >> shift) & 0xF];
    }
    return secret;
}

bool HostAllowed(std::string_view host, uint16_t port) {
    const std::string suffix = std::string(":").append(std::to_string(port));
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool OriginAllowed(std::string_view origin, std::string_view host) {
    return !host.empty() && origin == "http://" + std::string(host);
}

bool UpgradeTargetAllowed(std::string_view target, std::string_view secret) {
    constexpr std::string_view kPrefix = "/ws?t=";
    if (secret.empty() || target.substr(0, kPrefix.size()) != kPrefix) return false;
    return ConstantTimeEqual(target.substr(kPrefix.size()), secret);
}

std::optional<std::string> CleanRequestPath(std::string_view target) {
    const size_t end = target.find_first_of("?#");
    const std::string_view raw = target.substr(0, end);
    if (raw.empty() || raw[0] != '/') return std::nullopt;
    std::string path;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%') {
            if (i + 2 >= raw.size()) return std::nullopt;
            const int high = HexValue(raw[i + 1]);
            const int low = HexValue(raw[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            path += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            path += raw[i];
        }
    }
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos)
        return std::nullopt;
    size_t start = 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string_view segment = std::string_view(path).substr(start, slash - start);
        const bool last = slash == path.size();
        if (segment == "." || segment == ".." || (segment.empty() && !last)) return std::nullopt;
        start = slash + 1;
    }
    return path;
}

}  // namespace merravine::shell
