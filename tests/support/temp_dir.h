// A temporary folder for one test, removed when the test ends unless
// MERRAVINE_KEEP_TEMP is set in the environment (to look at what a failed test left).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace merravine::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The folder's absolute path.
    const std::filesystem::path& Path() const { return path_; }

    /// Writes `content` to the file at `relative` below the folder, creating parents.
    std::filesystem::path Write(const std::string& relative, std::string_view content) const;

    /// Reads the whole file at `path` (absolute, or relative to the folder).
    std::string Read(const std::filesystem::path& path) const;

  private:
    std::filesystem::path path_;
};

}  // namespace merravine::testing
