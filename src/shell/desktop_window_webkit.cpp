// The desktop window module: a GTK 3 window of our own process holding a WebKitGTK
// view of the page, loaded by the executable only when a window is to be shown.
//
// The window has no window-manager decoration; the page draws the only title bar. What a
// decoration would do is done here: a press within a few pixels of the window's edge
// starts the window manager's resize, the page's caption starts its move (StartMove uses
// the press that is still held), and a close from the window manager (its button, Alt+F4)
// is handed to the page's RequestAppClose, which asks the user and closes through
// RequestClose. Links that leave the program open in the default browser (xdg-open).
//
// GTK is touched only on the main thread; other threads reach it through g_idle_add with
// a shared state that outlives the window. Destroying the window ends gtk_main and so Run().
#include <gdk/gdk.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

#include "shell/desktop_window_module.h"

namespace merravine::shell {

namespace {

constexpr int kOpenWidth = 902;
constexpr int kOpenHeight = 702;
constexpr int kMinWidth = 900;
constexpr int kMinHeight = 700;
constexpr int kEdge = 6;  // the width of the edge that resizes, in pixels

// The page's close path: asks the user when idle, during a scan or a deletion, and
// closes the window itself once the answer is yes. 0 means no page to ask.
constexpr const char* kAskPageToClose =
    "if (typeof window.RequestAppClose !== 'function') return 0;"
    "window.RequestAppClose(); return 1;";

struct Press {
    bool held = false;
    bool second_of_double = false;
    guint button = 0;
    gint root_x = 0;
    gint root_y = 0;
    guint32 time = 0;
};

struct WindowState {
    std::string url;
    std::string origin;        // http://127.0.0.1:PORT, the only place the view may go
    std::string check_script;  // run once the page has loaded, then the window closes
    void (*log)(const char*) = nullptr;
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    bool check_started = false;
    bool resizable = true;
    Press press;  // the last button press on the page, for a move the page asks for
    bool edge_cursor = false;  // the pointer shows a resize cursor at the window's edge
    std::atomic<bool> close_requested{false};
};

using SharedState = std::shared_ptr<WindowState>;

void Log(const WindowState& state, const char* text) {
    if (state.log != nullptr) state.log(text);
}

void DestroyWindow(WindowState& state) {
    if (state.window != nullptr) gtk_widget_destroy(state.window);
}

void PostToMainThread(const SharedState& state, void (*action)(WindowState&)) {
    struct Task {
        SharedState state;
        void (*action)(WindowState&);
    };
    g_idle_add(
        [](gpointer data) -> gboolean {
            std::unique_ptr<Task> task(static_cast<Task*>(data));
            task->action(*task->state);
            return G_SOURCE_REMOVE;
        },
        new Task{state, action});
}

// ---- page checks (tests) and closing ------------------------------------------------------

void OnCheckDone(GObject* source, GAsyncResult* result, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                            result, &error);
    if (value != nullptr) {
        char* text = jsc_value_to_string(value);
        std::printf("WINDOW CHECK: %s\n", text != nullptr ? text : "");
        g_free(text);
        g_object_unref(value);
    } else {
        std::printf("WINDOW CHECK FAILED: %s\n", error != nullptr ? error->message : "unknown");
        if (error != nullptr) g_error_free(error);
    }
    std::fflush(stdout);
    DestroyWindow(*state);
}

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (event != WEBKIT_LOAD_FINISHED || state->check_script.empty() || state->check_started)
        return;
    state->check_started = true;
    webkit_web_view_call_async_javascript_function(view, state->check_script.c_str(), -1, nullptr,
                                                   nullptr, nullptr, nullptr, OnCheckDone, state);
}

void OnPageAsked(GObject* source, GAsyncResult* result, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                            result, &error);
    const bool page_asks = value != nullptr && jsc_value_is_number(value) &&
                           jsc_value_to_int32(value) == 1;
    if (value != nullptr) g_object_unref(value);
    if (error != nullptr) g_error_free(error);
    // A page that cannot ask (not loaded, or broken) must not keep the window open.
    if (!page_asks) {
        Log(*state, "the page cannot ask before closing; the window closes");
        DestroyWindow(*state);
    }
}

// The window manager's close (its button, Alt+F4, a task bar's close) goes to the page.
gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (state->view == nullptr) return FALSE;
    webkit_web_view_call_async_javascript_function(state->view, kAskPageToClose, -1, nullptr,
                                                   nullptr, nullptr, nullptr, OnPageAsked, state);
    return TRUE;
}

// ---- links --------------------------------------------------------------------------------

bool IsOutsideLink(const std::string& uri) {
    return uri.rfind("https://", 0) == 0 || uri.rfind("http://", 0) == 0 ||
           uri.rfind("mailto:", 0) == 0;
}

void OpenInDefaultBrowser(const WindowState& state, const std::string& uri) {
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(uri.c_str()), nullptr};
    GError* error = nullptr;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                G_SPAWN_STDERR_TO_DEV_NULL);
    if (!g_spawn_async(nullptr, argv, nullptr, flags, nullptr, nullptr, nullptr, &error)) {
        Log(state, "xdg-open could not be started");
        g_error_free(error);
    }
}

// The view stays on our own pages: a link elsewhere opens in the default browser, and
// anything else is refused rather than shown in the window that can call native commands.
gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    auto* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const std::string target = uri != nullptr ? uri : "";
    const bool ours = target.rfind(state->origin + "/", 0) == 0 || target == "about:blank";
    if (ours && type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    if (IsOutsideLink(target) && !ours &&
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED) {
        OpenInDefaultBrowser(*state, target);
    } else {
        Log(*state, "the window refused to leave the program's pages");
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

// ---- moving, resizing, placing ------------------------------------------------------------

bool Maximized(const WindowState& state) {
    GdkWindow* gdk = gtk_widget_get_window(state.window);
    return gdk != nullptr && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_MAXIMIZED) != 0;
}

// Which edge a point of the window is on, if any.
bool EdgeAt(const WindowState& state, double x, double y, GdkWindowEdge& edge) {
    const int width = gtk_widget_get_allocated_width(state.window);
    const int height = gtk_widget_get_allocated_height(state.window);
    const bool left = x < kEdge, right = x >= width - kEdge;
    const bool top = y < kEdge, bottom = y >= height - kEdge;
    if (top && left) edge = GDK_WINDOW_EDGE_NORTH_WEST;
    else if (top && right) edge = GDK_WINDOW_EDGE_NORTH_EAST;
    else if (bottom && left) edge = GDK_WINDOW_EDGE_SOUTH_WEST;
    else if (bottom && right) edge = GDK_WINDOW_EDGE_SOUTH_EAST;
    else if (top) edge = GDK_WINDOW_EDGE_NORTH;
    else if (bottom) edge = GDK_WINDOW_EDGE_SOUTH;
    else if (left) edge = GDK_WINDOW_EDGE_WEST;
    else if (right) edge = GDK_WINDOW_EDGE_EAST;
    else return false;
    return true;
}

// Runs before the view's own handler: an edge press resizes; any other press is kept for
// the move the page may ask for, and goes on to the page.
gboolean OnButtonPress(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (event->button != GDK_BUTTON_PRIMARY) return FALSE;
    GdkWindowEdge edge{};
    if (event->type == GDK_BUTTON_PRESS && state->resizable && !Maximized(*state) &&
        EdgeAt(*state, event->x, event->y, edge)) {
        state->press.held = false;
        gtk_window_begin_resize_drag(GTK_WINDOW(state->window), edge, static_cast<gint>(event->button),
                                     static_cast<gint>(event->x_root),
                                     static_cast<gint>(event->y_root), event->time);
        return TRUE;
    }
    if (event->type == GDK_BUTTON_PRESS || event->type == GDK_2BUTTON_PRESS) {
        // A double click sends press, press, double-press: the double marks the second press.
        if (event->type == GDK_2BUTTON_PRESS) {
            state->press.second_of_double = true;
        } else {
            state->press = {true, false, event->button, static_cast<gint>(event->x_root),
                            static_cast<gint>(event->y_root), event->time};
        }
    }
    return FALSE;
}

// At the edge the pointer shows which way the window would be resized; elsewhere the
// page's own cursor comes back.
gboolean OnPointerMotion(GtkWidget* widget, GdkEventMotion* event, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    GdkWindowEdge edge{};
    const bool at_edge = state->resizable && (event->state & GDK_BUTTON1_MASK) == 0 &&
                         !Maximized(*state) && EdgeAt(*state, event->x, event->y, edge);
    if (!at_edge && !state->edge_cursor) return FALSE;
    static constexpr const char* kCursorOfEdge[] = {"nw-resize", "n-resize", "ne-resize", "w-resize",
                                                    "e-resize", "sw-resize", "s-resize", "se-resize"};
    GdkWindow* gdk = gtk_widget_get_window(widget);
    GdkCursor* cursor = nullptr;
    if (at_edge) {
        cursor = gdk_cursor_new_from_name(gtk_widget_get_display(widget), kCursorOfEdge[edge]);
    }
    gdk_window_set_cursor(gdk, cursor);
    if (cursor != nullptr) g_object_unref(cursor);
    state->edge_cursor = at_edge;
    return at_edge ? TRUE : FALSE;
}

gboolean OnButtonRelease(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (event->button == state->press.button) state->press.held = false;
    return FALSE;
}

void ToggleMaximizeOnMainThread(WindowState& state) {
    if (state.window == nullptr || !state.resizable) return;
    if (Maximized(state)) gtk_window_unmaximize(GTK_WINDOW(state.window));
    else gtk_window_maximize(GTK_WINDOW(state.window));
}

void StartMoveOnMainThread(WindowState& state) {
    if (state.window == nullptr) return;
    Press& press = state.press;
    if (press.second_of_double) {
        press.second_of_double = false;
        press.held = false;
        ToggleMaximizeOnMainThread(state);
        return;
    }
    // The button went up before the page's request arrived: a click, not a drag.
    if (!press.held) return;
    press.held = false;
    gtk_window_begin_move_drag(GTK_WINDOW(state.window), static_cast<gint>(press.button), press.root_x,
                               press.root_y, press.time);
}

void CentreOnWorkArea(GtkWindow* window, int width, int height) {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    GdkMonitor* monitor = gdk != nullptr ? gdk_display_get_monitor_at_window(display, gdk)
                                         : gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    if (monitor == nullptr) return;
    GdkRectangle area{};
    gdk_monitor_get_workarea(monitor, &area);
    gtk_window_move(window, area.x + (area.width - width) / 2, area.y + (area.height - height) / 2);
}

void ApplySize(WindowState& state, int width, int height, bool resizable) {
    GtkWindow* window = GTK_WINDOW(state.window);
    state.resizable = resizable;
    if (Maximized(state)) gtk_window_unmaximize(window);
    // A fixed size is told to the window manager as equal smallest and largest sizes; GTK's
    // own "not resizable" would size the window to the web view's natural size instead.
    GdkGeometry limits{};
    limits.min_width = resizable ? kMinWidth : width;
    limits.min_height = resizable ? kMinHeight : height;
    limits.max_width = width;
    limits.max_height = height;
    const auto hints = static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | (resizable ? 0 : GDK_HINT_MAX_SIZE));
    gtk_window_set_geometry_hints(window, nullptr, &limits, hints);
    gtk_window_set_default_size(window, width, height);
    gtk_window_resize(window, width, height);
    CentreOnWorkArea(window, width, height);
}

void PresentOnMainThread(WindowState& state) {
    if (state.window == nullptr) return;
    GtkWindow* window = GTK_WINDOW(state.window);
    gtk_window_deiconify(window);
    // A fresh server time makes the window manager treat this as the user's own request,
    // so it raises and focuses the window instead of only marking it as wanting attention.
    GdkWindow* gdk = gtk_widget_get_window(state.window);
    if (gdk != nullptr && GDK_IS_X11_WINDOW(gdk)) {
        gtk_window_present_with_time(window, gdk_x11_get_server_time(gdk));
    } else {
        gtk_window_present(window);
    }
}

// ---- the window ---------------------------------------------------------------------------

class WebViewWindow final : public DesktopWindow {
  public:
    explicit WebViewWindow(SharedState state) : state_(std::move(state)) {}

    void Run() override {
        if (state_->close_requested) return;
        GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), "Corvantis Merravine");
        gtk_window_set_icon_name(GTK_WINDOW(window), "merravine");
        gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
        gtk_window_set_default_size(GTK_WINDOW(window), kOpenWidth, kOpenHeight);
        GdkGeometry limits{};
        limits.min_width = kMinWidth;
        limits.min_height = kMinHeight;
        gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &limits, GDK_HINT_MIN_SIZE);
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
        auto* view =
            WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "is-ephemeral", TRUE, nullptr));
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        WindowState* state = state_.get();
        g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), state);
        g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), state);
        g_signal_connect(view, "button-press-event", G_CALLBACK(OnButtonPress), state);
        g_signal_connect(view, "button-release-event", G_CALLBACK(OnButtonRelease), state);
        g_signal_connect(view, "motion-notify-event", G_CALLBACK(OnPointerMotion), state);
        // The page's title names the window in the task bar and the window list.
        g_signal_connect(view, "notify::title", G_CALLBACK(+[](GObject* object, GParamSpec*, gpointer data) {
                             auto* owner = static_cast<WindowState*>(data);
                             const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(object));
                             if (owner->window != nullptr && title != nullptr && title[0] != '\0')
                                 gtk_window_set_title(GTK_WINDOW(owner->window), title);
                         }),
                         state);
        // A script's window.close() closes our window; the page asked the user already.
        g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView*, gpointer data) {
                             DestroyWindow(*static_cast<WindowState*>(data));
                         }),
                         state);
        g_signal_connect(window, "delete-event", G_CALLBACK(OnDeleteEvent), state);
        g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                             auto* owner = static_cast<WindowState*>(data);
                             owner->window = nullptr;
                             owner->view = nullptr;
                             gtk_main_quit();
                         }),
                         state);
        state_->window = window;
        state_->view = view;
        webkit_web_view_load_uri(view, state_->url.c_str());
        gtk_widget_show_all(window);
        // The keyboard goes to the page from the start: Enter answers a message box.
        gtk_widget_grab_focus(GTK_WIDGET(view));
        // A close asked for between the check above and now is still queued as an idle task.
        if (state_->close_requested) PostToMainThread(state_, DestroyWindow);
        gtk_main();
        DestroyWindow(*state_);
    }

    void RequestClose() override {
        state_->close_requested = true;
        PostToMainThread(state_, DestroyWindow);
    }

    void Minimize() override {
        PostToMainThread(state_, [](WindowState& state) {
            if (state.window != nullptr) gtk_window_iconify(GTK_WINDOW(state.window));
        });
    }

    void Present() override { PostToMainThread(state_, PresentOnMainThread); }
    void StartMove() override { PostToMainThread(state_, StartMoveOnMainThread); }
    void ToggleMaximize() override { PostToMainThread(state_, ToggleMaximizeOnMainThread); }

    void Place(int width, int height, bool resizable) override {
        struct Task {
            SharedState state;
            int width, height;
            bool resizable;
        };
        g_idle_add(
            [](gpointer data) -> gboolean {
                std::unique_ptr<Task> task(static_cast<Task*>(data));
                if (task->state->window != nullptr)
                    ApplySize(*task->state, task->width, task->height, task->resizable);
                return G_SOURCE_REMOVE;
            },
            new Task{state_, width, height, resizable});
    }

  private:
    SharedState state_;
};

}  // namespace

}  // namespace merravine::shell

extern "C" __attribute__((visibility("default"))) merravine::shell::DesktopWindow* merravine_new_web_view_window(
    const char* url, const char* check_script, void (*log)(const char*)) {
    using namespace merravine::shell;
    static_assert(std::is_same_v<decltype(&merravine_new_web_view_window), WindowFactory>);
    // The class name ties the window to the desktop entry (StartupWMClass) and its icon.
    g_set_prgname("merravine");
    g_set_application_name("Corvantis Merravine");
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    auto state = std::make_shared<WindowState>();
    state->url = url;
    state->origin = state->url.substr(0, state->url.find('/', state->url.find("//") + 2));
    state->check_script = check_script;
    state->log = log;
    return new WebViewWindow(std::move(state));
}
