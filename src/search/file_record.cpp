// Name splitting and key conversions of FileRecord.
#include "search/file_record.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "util/text.h"

namespace merravine {

ContentKey ContentKey::FromText(std::string_view text) {
    ContentKey key;
    std::memcpy(key.bytes.data(), text.data(), std::min(text.size(), key.bytes.size()));
    return key;
}

std::string ContentKey::ToText() const {
    size_t length = bytes.size();
    while (length > 0 && bytes[length - 1] == 0) --length;
    return std::string(reinterpret_cast<const char*>(bytes.data()), length);
}

std::string TimeText(int64_t seconds) {
    return seconds == kNoTime ? std::string() : std::to_string(seconds);
}

int64_t TimeFromText(std::string_view text) {
    int64_t seconds = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || stop != end || seconds == kNoTime) return kNoTime;
    return seconds;
}

NameParts SplitName(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {name, {}};
    return {name.substr(0, dot + 1), name.substr(dot + 1)};
}

std::string LowerSuffix(std::string_view suffix) { return AsciiLowered(suffix); }

std::string FolderWithSlash(std::string_view folder) {
    std::string dir(folder);
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

}  // namespace merravine
