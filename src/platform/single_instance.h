// The single-instance flag: an advisory lock (flock) on a file named after the flag's text,
// in $XDG_RUNTIME_DIR (private to the user), else in the temp folder with the user id added
// to the name so that users never share one flag. The lock lives as long as the process.
#pragma once

#include <filesystem>
#include <string>

namespace merravine::platform {

/// Where the flag file of `name` lives for this user.
std::filesystem::path InstanceFlagPath(const std::string& name);

/// Takes the flag at `file`: true when this call took it, false when another holder has it.
/// When the file cannot be opened at all, answers true: an unknown state never locks the
/// user out of the program. A taken flag stays held until the process ends.
bool TakeInstanceFlag(const std::filesystem::path& file);

}  // namespace merravine::platform
