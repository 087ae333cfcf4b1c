// Parsing, lookup and in-place editing of INI documents.
#include "util/ini_file.h"

#include "platform/atomic_file.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr size_t kIntReadUnits = 29;  // integer reads go through a 30-unit buffer

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) { return EqualsIgnoringAsciiCase(a, b); }

// The name of a section header line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    if (close != std::string_view::npos) line = line.substr(0, close);
    return Trim(line);
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

// Splits a line inside a section into key and value; comments and blank lines give nothing.
std::optional<KeyLine> SplitKeyLine(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == ';') return std::nullopt;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return KeyLine{line, {}};
    return KeyLine{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// A value wrapped in one pair of matching quotes is read without them.
std::string_view StripQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

int32_t LeadingInt32(std::string_view text) {
    // The profile functions keep the low 32 bits of the number.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(LeadingInt64(text))));
}

IniFile IniFile::Load(const std::string& path) {
    std::string text;
    const platform::FileReadStatus status = platform::ReadWholeFile(path, text);
    if (status != platform::FileReadStatus::kOk) text.clear();
    if (status == platform::FileReadStatus::kNotPlainFile) {
        LogDebug("%s is not a plain file: it is neither read nor written; defaults apply",
                 path.c_str());
    }
    IniFile file = Parse(path, text);
    file.unreadable_ = status == platform::FileReadStatus::kFailed ||
                       status == platform::FileReadStatus::kNotPlainFile;
    return file;
}

IniFile IniFile::Parse(const std::string& path, std::string_view text) {
    IniFile file;
    file.path_ = path;
    std::string converted;
    if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
        converted = Utf16LeToUtf8(text.substr(2));
        text = converted;
    } else if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        file.utf8_bom_ = true;
        text.remove_prefix(kUtf8Bom.size());
    }
    const size_t first_break = text.find('\n');
    if (first_break != std::string_view::npos && first_break > 0 && text[first_break - 1] == '\r') {
        file.eol_ = "\r\n";
    }
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        file.lines_.emplace_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return file;
}

std::optional<size_t> IniFile::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const auto name = SectionName(lines_[i]);
        if (name && SameName(*name, section)) return i;
    }
    return std::nullopt;
}

std::optional<size_t> IniFile::FindKey(size_t section_line, std::string_view key) const {
    for (size_t i = section_line + 1; i < lines_.size() && !SectionName(lines_[i]); ++i) {
        const auto entry = SplitKeyLine(lines_[i]);
        if (entry && SameName(entry->key, key)) return i;
    }
    return std::nullopt;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
    const auto section_line = FindSection(section);
    if (!section_line) return std::nullopt;
    const auto key_line = FindKey(*section_line, key);
    if (!key_line) return std::nullopt;
    return std::string(StripQuotes(SplitKeyLine(lines_[*key_line])->value));
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    const auto section_line = FindSection(section);
    if (!section_line) return entries;
    for (size_t i = *section_line + 1; i < lines_.size() && !SectionName(lines_[i]); ++i) {
        if (const auto entry = SplitKeyLine(lines_[i])) {
            entries.emplace_back(entry->key, StripQuotes(entry->value));
        }
    }
    return entries;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback) const {
    const auto value = Find(section, key);
    return std::string(CutToUtf16Units(value ? std::string_view(*value) : fallback, kMaxReadUnits));
}

int32_t IniFile::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
    const auto value = Find(section, key);
    if (!value || value->empty()) return fallback;
    return LeadingInt32(CutToUtf16Units(*value, kIntReadUnits));
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string clean(value);
    for (char& c : clean) {
        if (c == '\n' || c == '\r') c = ' ';  // one value, one line
    }
    const auto section_line = FindSection(section);
    if (!section_line) {
        lines_.push_back(std::string("[").append(section).append("]"));
        lines_.push_back(std::string(key) + "=" + clean);
        return;
    }
    if (const auto key_line = FindKey(*section_line, key)) {
        // The key keeps the spelling it has in the file.
        lines_[*key_line] = std::string(SplitKeyLine(lines_[*key_line])->key) + "=" + clean;
        return;
    }
    size_t end = *section_line + 1;
    while (end < lines_.size() && !SectionName(lines_[end])) ++end;
    while (end > *section_line + 1 && Trim(lines_[end - 1]).empty())
        --end;  // before trailing blank lines
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end),
                  std::string(key) + "=" + clean);
}

std::string IniFile::Text() const {
    std::string text;
    // A UTF-16 file is written back as UTF-8. Units it could not convert are carried
    // as the bytes they stood for, so its text may begin with the UTF-16 mark itself:
    // the UTF-8 mark in front keeps it from being read back as UTF-16.
    const bool reads_as_utf16 = !lines_.empty() && lines_.front().starts_with("\xFF\xFE");
    if (utf8_bom_ || reads_as_utf16) text += kUtf8Bom;
    for (const auto& line : lines_) {
        text += line;
        text += eol_;
    }
    return text;
}

bool IniFile::Save(std::string& error) const {
    if (unreadable_) {
        error = "the file exists but could not be read, so it is left as it is";
        return false;
    }
    return platform::ReplaceFileAtomically(path_, Text(), error);
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    return IniFile::Load(path).GetString(section, key, fallback);
}

int32_t ReadProfileInt(const std::string& path, std::string_view section, std::string_view key,
                       int32_t fallback) {
    return IniFile::Load(path).GetInt(section, key, fallback);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    IniFile file = IniFile::Load(path);
    file.Set(section, key, value);
    std::string error;
    if (file.Save(error)) return true;
    LogDebug("Cannot write %s: %s", path.c_str(), error.c_str());
    return false;
}

}  // namespace merravine
