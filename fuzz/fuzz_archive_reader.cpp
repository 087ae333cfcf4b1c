// A damaged UI archive: Open() refuses it or every fetch stays inside its bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/ui_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto archive = merravine::UiArchive::Open(std::span<const uint8_t>(data, size));
    if (!archive) return 0;
    for (const char* path : {"index.html", "tis/common.tis", "css/main.css", "", "a", "INDEX.HTML"})
        archive->Fetch(path);
    return 0;
}
