// merravine_pack: packs the ui folder into the UI archive that the program embeds.
//
//   merravine_pack <ui-folder> <archive-out>
//
// The archive is read back and every item compared with its file before the output is
// replaced, so a build never embeds an archive the program cannot read. A missing ui folder
// gives an empty archive and a warning (the pages may not exist yet in a fresh tree).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "archive/ui_archive.h"
#include "archive/ui_archive_writer.h"

namespace fs = std::filesystem;

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "merravine_pack: error: %s\n", message.c_str());
    return 1;
}

bool VerifyArchive(const std::vector<uint8_t>& archive, const std::vector<merravine::UiItem>& items,
                   std::string& error) {
    const auto reader = merravine::UiArchive::Open(std::span<const uint8_t>(archive));
    if (!reader || reader->ItemCount() != items.size()) {
        error = "the packed archive does not read back";
        return false;
    }
    for (const auto& item : items) {
        const auto bytes = reader->Fetch(item.path);
        if (!bytes || *bytes != item.bytes) {
            error = "the packed archive gives other bytes for \"" + item.path + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: merravine_pack <ui-folder> <archive-out>\n");
        return 2;
    }
    const fs::path folder = argv[1];
    const fs::path output = argv[2];

    std::vector<merravine::UiItem> items;
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        std::string error;
        items = merravine::CollectUiFolder(folder, error);
        if (!error.empty()) return Fail(error);
    } else {
        std::fprintf(stderr, "merravine_pack: warning: no folder %s, packing an empty archive\n",
                     folder.string().c_str());
    }

    size_t unpacked_total = 0;
    for (const auto& item : items) unpacked_total += item.bytes.size();
    merravine::UiPackResult packed = merravine::PackUiItems(items);
    if (!packed.error.empty()) return Fail(packed.error);
    std::string error;
    if (!VerifyArchive(packed.archive, items, error)) return Fail(error);

    // Write beside the target and rename, so an interrupted build leaves no half archive.
    fs::create_directories(output.parent_path(), ec);
    const fs::path temporary = output.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(packed.archive.data()),
                  static_cast<std::streamsize>(packed.archive.size()));
        if (!out.flush()) return Fail("cannot write " + temporary.string());
    }
    fs::rename(temporary, output, ec);
    if (ec) return Fail("cannot replace " + output.string() + ": " + ec.message());
    const auto& bytes = packed.archive;
    const unsigned nodes =
        unsigned{bytes[4]} | (unsigned{bytes[5]} << 8) | (unsigned{bytes[6]} << 16);
    std::printf(
        "merravine_pack: %zu items, %zu bytes packed into %zu (%zu compressed), %u of %zu tree "
        "nodes\n",
        items.size(), unpacked_total, bytes.size(), packed.compressed_items, nodes,
        merravine::kUiArchiveMaxNodes);
    return 0;
}
