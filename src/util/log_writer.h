// The log writer: appends stamped lines to Log/Tessvel.log in the data folder and
// keeps up to five older generations (Tessvel_1.log newest .. Tessvel_5.log oldest).
//
// Threading: any thread may write. One mutex covers the whole of a line: the
// prefix and message built in the shared line buffer, the write, the flush and
// any rotation, so lines from two threads never interleave. The level is an
// atomic read before the lock. Each line is flushed before the lock is released.
//
// A rotation that cannot move the live file away leaves it in place and keeps
// appending to it; the next attempt waits until the file has grown by another
// maximum size, so a stuck move never turns every line into a rotation. A LESS
// line in the file itself records the failed attempt.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "platform/log_file_ops.h"

namespace merravine {

/// Kinds of line: the tag each carries.
enum LogKind : int32_t {
    LOG_KIND_LESS = 1,   ///< "[LESS ]", written at level 1 and 2
    LOG_KIND_DEBUG = 2,  ///< "[DEBUG]", written at level 2
};

class CLogWriter {
  public:
    static constexpr size_t kLineRoom = 1300;  ///< prefix + message; the line feed comes on top
    static constexpr uint32_t kBackupCount = 5;
    static constexpr uint32_t kMaxSize = 5242880;  ///< a file strictly larger than this is rotated

    /// A writer with the real file operations, or with `ops` (kept by the caller) in tests.
    explicit CLogWriter(platform::LogFileOps* ops = nullptr);
    ~CLogWriter();
    CLogWriter(const CLogWriter&) = delete;
    CLogWriter& operator=(const CLogWriter&) = delete;

    /// Sets the file (full path), opens it (creating it when missing) and rotates
    /// it when it is already too large. Returns whether a file is open.
    bool OpenLog(const std::string& path);

    /// Sets the level: 0 writes nothing, 1 writes LESS lines, 2 writes every line.
    void SetLevel(int32_t level) { level_.store(level, std::memory_order_relaxed); }
    int32_t Level() const { return level_.load(std::memory_order_relaxed); }

    /// Writes one line of `kind` when the level allows it; failures lose the line silently.
    void Write(LogKind kind, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));

    /// Rewrites the control characters of `message` (its first `length` bytes) as
    /// escapes (\n, \r, \t, \xHH), keeping at most `room` bytes; the new length.
    static size_t EscapeControls(char* message, size_t length, size_t room);

    /// The name of generation `n`: "_n" inserted before the last '.' of the file name.
    std::string BackupName(uint32_t n) const;

  private:
    size_t StampPrefix(LogKind kind);
    void EndLine(size_t prefix_length, size_t message_length);
    bool Open(bool may_rotate);
    void WritePending();
    bool NeedsRotation(int64_t size) const;
    void Rotate();

    std::unique_ptr<platform::LogFileOps> owned_ops_;
    platform::LogFileOps* ops_;
    std::array<char, kLineRoom + 2> line_{};
    size_t pending_ = 0;
    std::string path_;
    std::mutex lock_;
    int fd_ = -1;
    std::atomic<int32_t> level_{2};
    // After a failed move of the live file: no rotation until the file passes this size.
    int64_t rotation_held_below_ = 0;
};

/// Writes the line prefix for `kind` at `when` by `thread_id` into `out` (at least
/// `room` + 1 bytes); returns its length, at most `room`.
size_t FormatLogPrefix(char* out, size_t room, const std::tm& when, int64_t thread_id,
                       LogKind kind);

/// The process-wide writer behind LogDebug and LogLess. It is never destroyed, so
/// worker threads that still log while the process ends find it intact.
CLogWriter& TheLogWriter();

/// Reads the level from key LEVEL of section LOG in the settings file at
/// `config_path` (3 when absent). A value above 2, read as unsigned, becomes 2 and
/// "2" is written back to the key. Sets the process-wide writer's level and returns it.
int32_t LoadLogLevel(const std::string& config_path);

/// The log file's name inside the log folder.
inline constexpr const char* kLogFileName = "Tessvel.log";

/// Start-up: creates `log_folder` (a failure is ignored) and opens its Tessvel.log
/// in the process-wide writer. Returns whether the file is open.
bool OpenLogFolder(const std::string& log_folder);

}  // namespace merravine
