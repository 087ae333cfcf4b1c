// The boundary between the executable and the desktop window module: one C entry
// point that makes the window. Both sides are built together from this tree.
#pragma once

#include "shell/desktop_window.h"

namespace merravine::shell {

/// The module's file name, looked up in the executable's folder (a build tree, a portable
/// copy), then in the program's private library folder beside an installed executable.
inline constexpr const char* kWindowModuleFile = "merravine-window.so";
inline constexpr const char* kInstalledModuleFolder = "../lib/merravine";
inline constexpr const char* kWindowFactorySymbol = "merravine_new_web_view_window";

/// Makes the window, or returns nullptr when there is no display. `log` receives the
/// window's debug messages; the caller owns the result.
using WindowFactory = DesktopWindow* (*)(const char* url, const char* check_script, void (*log)(const char*));

}  // namespace merravine::shell
