// Entry point of the merravine executable: parses the command line and hands over
// to the desktop program or to the command-line scanner.
#include <cstdio>
#include <cstring>

namespace {

void PrintHelp() {
    std::printf(
        "Usage: merravine [--data-dir DIR] [--port N] [--no-window]\n"
        "       merravine --version | --help\n"
        "\n"
        "Finds duplicate files in the folders you choose.\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", MERRAVINE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            PrintHelp();
            return 0;
        }
    }
    PrintHelp();
    return 0;
}
