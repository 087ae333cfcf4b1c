// Text, JSON and CSV forms of the scan result.
#include "cli/scan_output.h"

#include <cstdio>
#include <limits>

#include "search/result_rows.h"
#include "util/text.h"

namespace merravine {

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

namespace {

// The output is gathered in a text and written 256 KiB at a time: a stream
// insertion per value would cost more than the scan's last phase.
class OutputText {
public:
    explicit OutputText(std::ostream& out) : out_(out) {}
    ~OutputText() { Flush(); }
    OutputText(const OutputText&) = delete;
    OutputText& operator=(const OutputText&) = delete;

    OutputText& operator<<(std::string_view piece) {
        text_.append(piece);
        return *this;
    }
    OutputText& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    OutputText& operator<<(int64_t number) { return *this << std::string_view(std::to_string(number)); }
    OutputText& Json(std::string_view piece) {
        AppendJsonString(text_, piece);
        return *this;
    }
    void EndItem() {
        if (text_.size() >= kChunk) Flush();
    }

private:
    static constexpr size_t kChunk = 256 << 10;
    void Flush() {
        out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
        text_.clear();
    }

    std::ostream& out_;
    std::string text_;
};

}  // namespace

void WriteScanResult(std::ostream& out, ScanFormat format, const std::vector<SizeGroup>& groups,
                     const ScanStats& stats) {
    const size_t all = std::numeric_limits<size_t>::max();
    int32_t open_set = 0;
    OutputText text(out);
    if (format == ScanFormat::Json) {
        text << "{\"sets\":[";
        ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup& group, const FileRecord& member, int32_t set) {
            if (set != open_set) {
                if (open_set != 0) text << "]},";
                text << "{\"size\":" << static_cast<int64_t>(group.size) << ",\"files\":[";
                open_set = set;
            } else {
                text << ',';
            }
            text << "{\"path\":";
            text.Json(member.FullPath()) << ",\"kind\":" << int64_t{member.kind} << ",\"protected\":"
                                         << ((member.flags & FILE_FLAG_PROTECTED) != 0 ? "true" : "false") << '}';
            text.EndItem();
        });
        if (open_set != 0) text << "]}";
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", stats.seconds);
        text << "],\"stats\":{\"counted\":" << stats.counted << ",\"scanned\":" << stats.scanned
             << ",\"duplicates\":" << stats.duplicates << ",\"unreadable\":" << stats.unreadable
             << ",\"bytes_read\":" << static_cast<int64_t>(stats.bytesRead) << ",\"seconds\":" << seconds
             << "}}\n";
        return;
    }
    if (format == ScanFormat::Csv) {
        text << "set,size,path,kind,protected\r\n";
        ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup& group, const FileRecord& member, int32_t set) {
            text << int64_t{set} << ',' << static_cast<int64_t>(group.size) << ',' << CsvField(member.FullPath())
                 << ',' << int64_t{member.kind} << ',' << ((member.flags & FILE_FLAG_PROTECTED) != 0 ? '1' : '0')
                 << "\r\n";
            text.EndItem();
        });
        return;
    }
    ForEachDeliveredMember(groups, KIND_ALL, all, [&](const SizeGroup&, const FileRecord& member, int32_t set) {
        if (set != open_set && open_set != 0) text << '\n';
        open_set = set;
        text << member.FullPath() << '\n';
        text.EndItem();
    });
    if (open_set != 0) text << '\n';
}

}  // namespace merravine
