// The folder of the running executable, from /proc/self/exe.
#pragma once

#include <string>

namespace merravine::platform {

/// The executable's folder without a trailing '/'; empty when it cannot be read
/// or the path holds no '/'. The root folder gives "/".
std::string GetModuleDirectory();

/// The folder part of `path`: everything before its last '/'; empty when there is none.
/// A path directly under the root gives "/".
std::string FolderOfPath(const std::string& path);

}  // namespace merravine::platform
