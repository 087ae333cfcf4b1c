// Line assembly, appending with a flush per line, and rotation by size.
#include "util/log_writer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "platform/thread_id.h"
#include "util/ini_file.h"

namespace merravine {

namespace {

const char* TagOf(LogKind kind) {
    switch (kind) {
        case LOG_KIND_DEBUG:
            return "[DEBUG]";
        case LOG_KIND_LESS:
            return "[LESS ]";
    }
    return "[LOG_SYS]";
}

int32_t MinimumLevelOf(LogKind kind) { return kind == LOG_KIND_DEBUG ? 2 : 1; }

}  // namespace

size_t FormatLogPrefix(char* out, size_t room, const std::tm& when, int64_t thread_id,
                       LogKind kind) {
    char thread_text[24];
    std::snprintf(thread_text, sizeof thread_text, "%" PRId64, thread_id);
    const int length = std::snprintf(
        out, room + 1, "[%04d-%02d-%02d] [%02d-%02d-%02d] [T:%-5s] %s: ", when.tm_year + 1900,
        when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, thread_text,
        TagOf(kind));
    return std::min(static_cast<size_t>(std::max(length, 0)), room);
}

CLogWriter::CLogWriter(platform::LogFileOps* ops) : ops_(ops) {
    if (ops_ == nullptr) {
        owned_ops_ = std::make_unique<platform::LogFileOps>();
        ops_ = owned_ops_.get();
    }
}

CLogWriter::~CLogWriter() {
    if (fd_ >= 0) ops_->Close(fd_);
}

bool CLogWriter::OpenLog(const std::string& path) {
    std::lock_guard guard(lock_);
    path_ = path;
    line_.fill(0);
    pending_ = 0;
    rotation_held_below_ = 0;
    return Open(true);
}

std::string CLogWriter::BackupName(uint32_t n) const {
    const size_t slash = path_.rfind('/');
    const size_t dot = path_.rfind('.');
    const std::string suffix = std::string("_").append(std::to_string(n));
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path_ + suffix;
    }
    return path_.substr(0, dot) + suffix + path_.substr(dot);
}

void CLogWriter::Write(LogKind kind, const char* format, va_list args) {
    if (Level() < MinimumLevelOf(kind)) return;
    std::lock_guard guard(lock_);
    const size_t prefix_length = StampPrefix(kind);
    const size_t room = kLineRoom - prefix_length;
    const int wanted = std::vsnprintf(line_.data() + prefix_length, room + 1, format, args);
    const size_t length = std::min(static_cast<size_t>(std::max(wanted, 0)), room);
    EndLine(prefix_length, EscapeControls(line_.data() + prefix_length, length, room));
    WritePending();
}

// One entry is one line: a line break or another control character in the message (a
// page's text, a folder name) is written as an escape, so that no text can forge a
// line of its own. Returns the new length, cut to `room`.
size_t CLogWriter::EscapeControls(char* message, size_t length, size_t room) {
    const auto is_control = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    };
    if (std::none_of(message, message + length, is_control)) return length;
    const std::string original(message, length);
    static constexpr char kHex[] = "0123456789abcdef";
    size_t out = 0;
    for (const char c : original) {
        char escape[4] = {'\\', 0, 0, 0};
        size_t size = 2;
        if (c == '\n') {
            escape[1] = 'n';
        } else if (c == '\r') {
            escape[1] = 'r';
        } else if (c == '\t') {
            escape[1] = 't';
        } else if (is_control(c)) {
            const auto byte = static_cast<unsigned char>(c);
            escape[1] = 'x';
            escape[2] = kHex[byte >> 4];
            escape[3] = kHex[byte & 0xF];
            size = 4;
        } else {
            escape[0] = c;
            size = 1;
        }
        if (out + size > room) break;
        std::memcpy(message + out, escape, size);
        out += size;
    }
    return out;
}

size_t CLogWriter::StampPrefix(LogKind kind) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatLogPrefix(line_.data(), kLineRoom, local, platform::CurrentThreadId(), kind);
}

void CLogWriter::EndLine(size_t prefix_length, size_t message_length) {
    message_length = std::min(message_length, kLineRoom - prefix_length);  // cut to the room
    line_[prefix_length + message_length] = '\n';
    pending_ = prefix_length + message_length + 1;
}

bool CLogWriter::Open(bool may_rotate) {
    if (fd_ >= 0) {
        ops_->Close(fd_);
        fd_ = -1;
    }
    if (path_.empty()) return false;
    fd_ = ops_->OpenForAppend(path_);
    if (fd_ < 0) return false;
    if (may_rotate && NeedsRotation(ops_->Size(fd_))) Rotate();
    return fd_ >= 0;
}

void CLogWriter::WritePending() {
    if (fd_ < 0 && !Open(true)) return;  // the line is lost; the next one tries again
    if (ops_->Write(fd_, line_.data(), pending_)) ops_->Flush(fd_);
    if (NeedsRotation(ops_->Size(fd_))) Rotate();
}

bool CLogWriter::NeedsRotation(int64_t size) const {
    return size > static_cast<int64_t>(kMaxSize) && size > rotation_held_below_;
}

void CLogWriter::Rotate() {
    const int64_t size = ops_->Size(fd_);
    ops_->Close(fd_);
    fd_ = -1;

    // Probe the generations up to the first missing one (collected too) or the last.
    std::vector<std::string> names;
    bool last_exists = false;
    for (uint32_t n = 1; n <= kBackupCount; ++n) {
        names.push_back(BackupName(n));
        last_exists = ops_->Exists(names.back());
        if (!last_exists) break;
    }
    if (names.size() == kBackupCount && last_exists) ops_->Remove(names.back());  // drop the oldest

    if (names.size() > 1) {
        if (ops_->Exists(names.back())) ops_->Remove(names.back());
        for (size_t k = names.size() - 1; k >= 1; --k) ops_->Move(names[k - 1], names[k]);
    }
    const bool moved = ops_->Move(path_, names.front());
    rotation_held_below_ = moved ? 0 : size + static_cast<int64_t>(kMaxSize);
    Open(false);
    if (!moved && fd_ >= 0 && Level() >= 1) {
        // Say so in the file that keeps growing, written directly: no second rotation.
        constexpr std::string_view kNote =
            "The log could not be rotated; it grows until the next attempt after another 5 MiB";
        const size_t prefix_length = StampPrefix(LOG_KIND_LESS);
        const size_t length = std::min(kNote.size(), kLineRoom - prefix_length);
        kNote.copy(line_.data() + prefix_length, length);
        EndLine(prefix_length, length);
        if (ops_->Write(fd_, line_.data(), pending_)) ops_->Flush(fd_);
    }
}

CLogWriter& TheLogWriter() {
    static CLogWriter* const writer = new CLogWriter();
    return *writer;
}

bool OpenLogFolder(const std::string& log_folder) {
    platform::MakeFolders(log_folder);
    return TheLogWriter().OpenLog(log_folder + "/" + kLogFileName);
}

}  // namespace merravine

namespace merravine {

int32_t LoadLogLevel(const std::string& config_path) {
    int32_t level = ReadProfileInt(config_path, "LOG", "LEVEL", 3);
    if (static_cast<uint32_t>(level) > 2) {
        level = 2;
        WriteProfileString(config_path, "LOG", "LEVEL", "2");  // a failure leaves the level at 2
    }
    TheLogWriter().SetLevel(level);
    return level;
}

}  // namespace merravine
