// Built without WebKitGTK: there is never a window of our own.
#include "shell/desktop_window.h"

namespace merravine::shell {

std::unique_ptr<DesktopWindow> NewWebViewWindow(const std::string&, const std::string&) {
    return nullptr;
}

}  // namespace merravine::shell
