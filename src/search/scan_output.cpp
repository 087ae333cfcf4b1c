// Text, JSON and CSV forms of the scan result.
#include "search/scan_output.h"

#include <cstdio>
#include <limits>

#include "search/result_rows.h"
#include "util/text.h"

namespace merravine {

std::string JsonString(std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
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
