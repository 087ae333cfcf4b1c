// The argument shape the command-line commands share: folders, "--" before folders that
// look like options, "--help", flags, and options whose value follows as the next word or
// after "=".
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merravine {

/// Called for each option: its name and its value (nullptr for a flag). Returns a one-line
/// failure to stop the reading.
using OptionVisitor =
    std::function<std::optional<std::string>(const std::string& name, const std::string* value)>;

/// Reads argv[1..]: words that are not options (and every word after "--") are folders, each
/// checked to be a folder and made absolute; "--help" or "-h" ends the reading with "help";
/// a name in `flags` takes no value; any other option takes one. Returns the first failure
/// as a one-line message, also when no folder was given.
std::optional<std::string> ReadCommandLine(int argc, char** argv,
                                           std::initializer_list<std::string_view> flags,
                                           std::vector<std::string>& folders,
                                           const OptionVisitor& visit);

}  // namespace merravine
