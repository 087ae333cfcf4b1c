// Building the UI archive (layout in ui_archive.h) from a folder of page documents. Used at
// build time by the merravine_pack tool and by the tests; the program itself only reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace merravine {

/// One document to pack: its path inside the ui folder ('/' separators) and its bytes.
struct UiItem {
    std::string path;
    std::string bytes;
};

/// The archive's bytes, or the reason it cannot be built.
struct UiPackResult {
    std::vector<uint8_t> archive;
    std::string error;  ///< empty when the archive was built
    size_t compressed_items = 0;
};

/// Packs `items` into an archive. Fails (with a message naming the cause) when two paths
/// differ only in letter case, a path is empty, or the tree or the item table outgrows the
/// archive's 16-bit node links or 32-bit offsets.
UiPackResult PackUiItems(std::vector<UiItem> items);

/// Reads every regular file below `folder` (names starting with '.' are skipped, as are the
/// folders they name). `error` is set when the folder cannot be read.
std::vector<UiItem> CollectUiFolder(const std::filesystem::path& folder, std::string& error);

}  // namespace merravine
