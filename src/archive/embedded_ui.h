// The UI archive compiled into the executable (packed from the ui folder at build time by
// merravine_embed_ui in tools/embed_ui.cmake). Nothing beside the executable is read to
// serve the pages.
#pragma once

#include <cstdint>
#include <span>

namespace merravine {

/// The bytes of the embedded UI archive; valid for the life of the process.
std::span<const uint8_t> EmbeddedUiArchive();

}  // namespace merravine
