// Whole-file reads and crash-safe whole-file replacement, for small settings files.
#pragma once

#include <string>
#include <string_view>

namespace merravine::platform {

enum class FileReadStatus { kOk, kMissing, kFailed };

/// Reads the whole file at `path` into `content`.
FileReadStatus ReadWholeFile(const std::string& path, std::string& content);

/// Replaces the file at `path` with `content` so that a crash leaves either the old
/// or the new file, never a mix: a temporary file in the same folder is written,
/// flushed to disk and renamed over the old one, then the folder is flushed. An
/// existing file keeps its permission bits; a symbolic link is followed and its
/// target replaced. On failure returns false, leaves the old file as it was and
/// puts the reason into `error`.
bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string& error);

}  // namespace merravine::platform
