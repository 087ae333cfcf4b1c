// Entry point of the merravine executable: hands over to the desktop program or to
// the command-line scanner and deduplicator.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/dedupe_cli.h"
#include "cli/scan_cli.h"
#include "platform/heap_release.h"
#include "shell/app.h"

int main(int argc, char** argv) {
    merravine::platform::UseOneHeap();
    if (argc > 1 && std::strcmp(argv[1], "scan") == 0)
        return merravine::RunScanCommand(argc - 1, argv + 1);
    if (argc > 1 && std::strcmp(argv[1], "dedupe") == 0)
        return merravine::RunDedupeCommand(argc - 1, argv + 1);
    std::string error;
    const auto options = merravine::shell::ParseAppOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "merravine: %s\n%s", error.c_str(), merravine::shell::AppUsage());
        return 2;
    }
    if (options->show_version) {
        std::printf("%s\n", MERRAVINE_VERSION);
        return 0;
    }
    if (options->show_help) {
        std::printf("%s", merravine::shell::AppUsage());
        return 0;
    }
    return merravine::shell::RunApp(*options);
}
