// The program's window. With a display and a WebKitGTK build it is a GTK window of
// our own holding a web view of the page; otherwise there is no window of our own
// (the page is in a browser, or nowhere yet) and Run() just waits to be closed.
// Run() is called on the main thread; RequestClose() and Minimize() on any thread.
#pragma once

#include <memory>
#include <string>

namespace merravine::shell {

class DesktopWindow {
  public:
    virtual ~DesktopWindow() = default;
    /// Shows the page and returns once the window is closed or RequestClose() was called.
    virtual void Run() = 0;
    /// Closes the window as the user would; safe before Run(), after it, and more than once.
    virtual void RequestClose() = 0;
    /// Minimises the window, when there is one.
    virtual void Minimize() = 0;
};

/// No window of our own: Run() returns when RequestClose() is called.
std::unique_ptr<DesktopWindow> NewWaitingWindow();

/// A GTK window with a web view of `url`; nullptr when there is no display or no WebKitGTK.
/// `check_script`, when not empty, is the body of an async function run in the page once
/// it has loaded; its result is printed as "WINDOW CHECK: <text>" and the window closes.
std::unique_ptr<DesktopWindow> NewWebViewWindow(const std::string& url,
                                                const std::string& check_script);

}  // namespace merravine::shell
