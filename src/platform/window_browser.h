// Opening the page in the user's default browser when the program has no window of
// its own. The address carries the launch secret, which must not appear on any
// command line (other local users can read those): the browser is handed a private
// launch file (mode 0600) that forwards to the address instead.
#pragma once

#include <string>

namespace merravine::platform {

/// True when a graphical session is there (DISPLAY or WAYLAND_DISPLAY is set).
bool HasGraphicalSession();

/// Starts `xdg-open` on a private launch file that forwards to `url`. Returns the file's
/// path (to remove at exit), or an empty text when the browser could not be started.
std::string OpenInBrowser(const std::string& url);

}  // namespace merravine::platform
