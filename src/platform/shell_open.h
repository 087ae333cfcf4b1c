// Showing files and folders to the user in the desktop's file manager.
#pragma once

#include <string>

#include "platform/os_launcher.h"

namespace merravine::platform {

/// The file URI of an absolute path: every byte but unreserved ones and '/' percent-encoded,
/// so the URI holds no quote, space or backslash whatever the name.
std::string FileUri(const std::string& path);

/// Asks the file manager to show `path` selected in its folder: the freedesktop
/// FileManager1.ShowItems call over the session bus, else xdg-open on the folder.
/// True when one of them accepted the request.
bool ShowItemInFileManager(Launcher& launcher, const std::string& path);

/// Opens `folder` in the default file browser with xdg-open. Answers 0 when asked, 2 when the
/// folder does not exist, 31 when xdg-open cannot be started, else xdg-open's exit code
/// (1 to 4), so every failure is a value from 1 to 32.
int OpenFolder(Launcher& launcher, const std::string& folder);

/// Opens the plain file `path` with the desktop's default application (xdg-open). Answers
/// 0 when asked, 2 when `path` is no plain file, 31 when xdg-open cannot be started, else
/// xdg-open's exit code.
int OpenWithDefaultApp(Launcher& launcher, const std::string& path);

}  // namespace merravine::platform
