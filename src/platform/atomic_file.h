// Whole-file reads and crash-safe whole-file replacement, for small settings files.
#pragma once

#include <string>
#include <string_view>

namespace merravine::platform {

enum class FileReadStatus { kOk, kMissing, kFailed, kNotPlainFile };

/// Reads the whole file at `path` into `content`. Anything but a plain file (a FIFO,
/// a device, a folder) is not read at all: kNotPlainFile, never a hang.
FileReadStatus ReadWholeFile(const std::string& path, std::string& content);

/// Replaces the file at `path` with `content` so that a crash leaves either the old
/// or the new file, never a mix: a temporary file in the same folder is written,
/// flushed to disk and renamed over the old one, then the folder is flushed. A new
/// file gets mode 0600 under the umask; an existing one keeps its permission bits but
/// none wider than 0600, as it holds the user's own data; a symbolic link is followed
/// and its target replaced. On failure returns false, leaves the old file as it was and
/// puts the reason into `error`.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string& error);

/// Creates `path` as an empty file of mode 0600 (under the umask) when it does not
/// exist; true when it was created.
bool CreatePrivateFile(const std::string& path);

/// Removes the temporary files (`path`.tmp-XXXXXX) that a replacement cut short by a
/// crash left beside `path`; returns how many were removed.
int RemoveLeftoverTemporaries(const std::string& path);

}  // namespace merravine::platform
