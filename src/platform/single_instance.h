// The single-instance flag: an advisory lock (flock) on a file named after the flag's text,
// in $XDG_RUNTIME_DIR when that is a folder of the user's own that nobody else can write,
// else in $XDG_CACHE_HOME/merravine (~/.cache/merravine), kept at mode 0700; never in a
// shared temp folder, where another user could take the name. The lock lives as long as
// the process.
#pragma once

#include <filesystem>
#include <string>

namespace merravine::platform {

/// Where the flag file of `name` lives for this user; empty when no private folder exists.
std::filesystem::path InstanceFlagPath(const std::string& name);

/// Takes the flag at `file`: true when this call took it, false when another holder has it.
/// When the file cannot be opened at all, answers true: an unknown state never locks the
/// user out of the program. A taken flag stays held until the process ends.
bool TakeInstanceFlag(const std::filesystem::path& file);

}  // namespace merravine::platform
