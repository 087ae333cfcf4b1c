// A stand-alone scan command for development and benchmarks: `merravine_scan_dev ARGS`
// and `merravine_scan_dev scan ARGS` behave as `merravine scan ARGS`.
#include <string>
#include <vector>

#include "cli/scan_cli.h"
#include "platform/heap_release.h"

int main(int argc, char** argv) {
    merravine::platform::UseOneHeap();
    std::vector<char*> args;
    std::string name = "scan";
    args.push_back(name.data());
    const int first = (argc > 1 && std::string(argv[1]) == "scan") ? 2 : 1;
    for (int i = first; i < argc; ++i) args.push_back(argv[i]);
    return merravine::RunScanCommand(static_cast<int>(args.size()), args.data());
}
