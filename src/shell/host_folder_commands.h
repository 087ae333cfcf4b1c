// Host commands for the pages' own folder chooser and for showing a file in the file
// manager, which a browser page cannot do by itself.
#pragma once

#include "platform/os_launcher.h"
#include "util/script_value.h"

namespace merravine {

/// The user's home folder as a string.
ScriptValue GetHomeFolder();

/// [errorText ("" when read), resolvedPath, [[name, hidden 0|1], ...]]: the subfolders of
/// `path` (its text form) sorted by name. Names are the file system's bytes, valid UTF-8 or
/// not. A failure still answers the three values, with the error text and no folders.
ScriptValue ListFolders(const ScriptValue& path);

/// Asks the file manager to show the file at `full_path` (its text form): 0 when asked,
/// 1 when no file manager could be asked, 2 when the path is not absolute.
ScriptValue ShowInFileManager(const ScriptValue& full_path,
                              platform::Launcher& launcher = platform::SystemLauncher());

/// Opens the file at `full_path` with its default application: 0 when asked, 1 when it
/// could not be opened, 2 when the path is not absolute or names no plain file.
ScriptValue OpenFile(const ScriptValue& full_path,
                     platform::Launcher& launcher = platform::SystemLauncher());

}  // namespace merravine
