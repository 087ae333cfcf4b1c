// Moving a file into the freedesktop trash of its own file system, so that the
// desktop's trash can show and restore it: $XDG_DATA_HOME/Trash for files on the
// home file system, otherwise $topdir/.Trash/<uid> (when the administrator made
// $topdir/.Trash, sticky and not a link) or $topdir/.Trash-<uid> at the mount root.
// The .trashinfo file is written first, under a name no other file holds (O_EXCL),
// and only then is the file renamed in. A file is never copied across file systems:
// what cannot be renamed into a trash stays where it is.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_remove_scanned.h"

namespace merravine::platform {

/// Moves `full_path` to the trash when it is still a plain file of `expected_size` bytes.
RemoveOutcome TrashScannedFile(const std::string& full_path, uint64_t expected_size);

/// Moves entry `name` of the open folder `dirfd` (the file `full_path`, on `device`)
/// into the trash of its file system; 0 or errno. Fills where it went.
int TrashEntryAt(int dirfd, const std::string& name, const std::string& full_path,
                 uint64_t device, std::string& file_path, std::string& info_path);

/// The home trash folder: $XDG_DATA_HOME/Trash, or $HOME/.local/share/Trash.
std::string HomeTrashFolder();

}  // namespace merravine::platform
