// What the page server answers to a GET: the documents of the UI archive under /app/,
// the view script at /view.js, and nothing else. Paths are decoded and checked
// before the archive is asked (no "..", no "."), so nothing outside the archive is
// ever reached, and nothing is read from the disk.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "shell/http_server.h"

namespace merravine::shell {

/// Fetches a document of the UI archive by its path below /app/, letter case ignored.
using ArchiveReader = std::function<std::optional<std::string>(std::string_view path)>;

/// The script every page loads first: the `view` object (see view.js).
extern const std::string_view kViewScript;

/// The Content-Type for a document path, by its extension (scripts under tis/ are JavaScript).
std::string MimeTypeFor(std::string_view path);

/// Answers one GET request target.
HttpReply RoutePageRequest(std::string_view target, const ArchiveReader& archive);

}  // namespace merravine::shell
