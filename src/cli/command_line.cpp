#include "cli/command_line.h"

#include <algorithm>
#include <filesystem>

#include "cli/scan_cli.h"

namespace merravine {

std::optional<std::string> ReadCommandLine(int argc, char** argv,
                                           std::initializer_list<std::string_view> flags,
                                           std::vector<std::string>& folders,
                                           const OptionVisitor& visit) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            folders.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::optional<std::string> value;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--help" || arg == "-h") return std::string("help");
        std::optional<std::string> failure;
        if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            if (value) return arg + " takes no value";
            failure = visit(arg, nullptr);
        } else {
            if (!value && i + 1 < argc) value = argv[++i];
            if (!value) return arg + " needs a value";
            failure = visit(arg, &*value);
        }
        if (failure) return failure;
    }
    if (folders.empty()) return std::string("no folder to scan");
    for (std::string& folder : folders) {
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) return "not a folder: " + folder;
        folder = AbsoluteFolder(folder);
    }
    return std::nullopt;
}

}  // namespace merravine
