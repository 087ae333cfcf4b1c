// Text, JSON and CSV forms of the scan result.
#include "search/scan_output.h"

#include <cstdio>
#include <limits>

#include "search/result_rows.h"

namespace merravine {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none.
size_t ValidSequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const size_t left = text.size() - at;
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!IsContinuation(byte(i))) return 0;
    }
    return length;
}

void AppendHexEscape(std::string& out, const char* prefix, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.append(prefix);
    out.push_back(kHex[(value >> 4) & 0xF]);
    out.push_back(kHex[value & 0xF]);
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const size_t length = ValidSequenceLength(text, at);
        if (length == 0) {
            AppendHexEscape(out, "\\udc", c);
            ++at;
            continue;
        }
        if (length == 1) {
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                default:
                    if (c < 0x20) {
                        AppendHexEscape(out, "\\u00", c);
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    out.push_back('"');
    return out;
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

void WriteScanResult(std::ostream& out, ScanFormat format, const std::vector<SizeGroup>& groups,
                     const ScanStats& stats) {
    const size_t all = std::numeric_limits<size_t>::max();
    int32_t open_set = 0;
    if (format == ScanFormat::Json) {
        out << "{\"sets\":[";
        ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup& group, const FileRecord& member, int32_t set) {
            if (set != open_set) {
                if (open_set != 0) out << "]},";
                out << "{\"size\":" << group.size << ",\"files\":[";
                open_set = set;
            } else {
                out << ',';
            }
            out << "{\"path\":" << JsonString(member.FullPath()) << ",\"kind\":" << member.kind
                << ",\"protected\":" << ((member.flags & FILE_FLAG_PROTECTED) != 0 ? "true" : "false") << '}';
        });
        if (open_set != 0) out << "]}";
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", stats.seconds);
        out << "],\"stats\":{\"counted\":" << stats.counted << ",\"scanned\":" << stats.scanned
            << ",\"duplicates\":" << stats.duplicates << ",\"unreadable\":" << stats.unreadable
            << ",\"bytes_read\":" << stats.bytesRead << ",\"seconds\":" << seconds << "}}\n";
        return;
    }
    if (format == ScanFormat::Csv) {
        out << "set,size,path,kind,protected\r\n";
        ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup& group, const FileRecord& member, int32_t set) {
            out << set << ',' << group.size << ',' << CsvField(member.FullPath()) << ',' << member.kind << ','
                << ((member.flags & FILE_FLAG_PROTECTED) != 0 ? 1 : 0) << "\r\n";
        });
        return;
    }
    ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup&, const FileRecord& member, int32_t set) {
        if (set != open_set && open_set != 0) out << '\n';
        open_set = set;
        out << member.FullPath() << '\n';
    });
    if (open_set != 0) out << '\n';
}

}  // namespace merravine
