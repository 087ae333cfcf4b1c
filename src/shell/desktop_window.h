// The program's window. With a display and a WebKitGTK build it is a GTK window of
// our own holding a web view of the page; otherwise there is no window of our own
// (the page is in a browser, or nowhere yet) and Run() just waits to be closed.
//
// The window has no window-manager decoration: the page's caption is its only title bar.
// The page moves the window (StartMove), maximises it (ToggleMaximize) and sizes it
// (Place); every close the window manager asks for (its close button, Alt+F4) is handed
// to the page's own close path, which ends in RequestClose once the user said yes.
// Run() is called on the main thread; every other member on any thread.
#pragma once

#include <memory>
#include <string>

namespace merravine::shell {

class DesktopWindow {
  public:
    virtual ~DesktopWindow() = default;
    /// Shows the page and returns once the window is closed or RequestClose() was called.
    virtual void Run() = 0;
    /// Closes the window without asking; safe before Run(), after it, and more than once.
    virtual void RequestClose() = 0;
    /// Minimises the window, when there is one.
    virtual void Minimize() = 0;
    /// Brings the window to the front, restored from the task bar, with the keyboard focus.
    virtual void Present() {}
    /// The page's caption was pressed: the window manager moves the window while the button
    /// is held; the second press of a double click maximises or restores it instead.
    virtual void StartMove() {}
    /// Maximises a normal window, restores a maximised one.
    virtual void ToggleMaximize() {}
    /// Sizes the window to `width` x `height` and centres it on the screen's work area. A
    /// resizable window can be made no smaller than 900 x 700; a fixed one keeps its size.
    virtual void Place(int /*width*/, int /*height*/, bool /*resizable*/) {}
};

/// No window of our own: Run() returns when RequestClose() is called.
std::unique_ptr<DesktopWindow> NewWaitingWindow();

/// A GTK window with a web view of `url`; nullptr when there is no display or no WebKitGTK.
/// `check_script`, when not empty, is the body of an async function run in the page once
/// it has loaded; its result is printed as "WINDOW CHECK: <text>" and the window closes.
std::unique_ptr<DesktopWindow> NewWebViewWindow(const std::string& url,
                                                const std::string& check_script);

}  // namespace merravine::shell
