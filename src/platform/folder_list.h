// Listing the subfolders of a folder, for the in-page folder chooser.
#pragma once

#include <string>
#include <vector>

namespace merravine::platform {

struct FolderEntry {
    std::string name;     ///< the name's bytes as the file system holds them
    bool hidden = false;  ///< the name begins with '.'
};

struct FolderListing {
    std::string error;     ///< empty when the folder was read
    std::string resolved;  ///< the absolute, normalised folder that was (or would be) listed
    std::vector<FolderEntry> folders;  ///< sorted by name, letter case ignored first
};

/// The subfolders of `path`. An empty path means the home folder (HomeFolder of
/// data_folder.h, "/" when unknown), a path starting with "~" starts there, and a relative
/// path is taken below it. Symbolic links are not listed (the
/// search does not follow them either). Failures come back as `error` text.
FolderListing ListSubfolders(const std::string& path);

}  // namespace merravine::platform
