// The desktop window module: a GTK 3 window of our own process holding a WebKitGTK
// view of the page, loaded by the executable only when a window is to be shown. Closing it (as the user does, or through RequestClose) ends gtk_main and
// so Run(). GTK is touched only on the main thread; other threads reach it through
// g_idle_add with a shared state that outlives the window.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "shell/desktop_window_module.h"

namespace merravine::shell {

namespace {

struct WindowState {
    std::string url;
    std::string origin;        // http://127.0.0.1:PORT, the only place the view may go
    std::string check_script;  // run once the page has loaded, then the window closes
    void (*log)(const char*) = nullptr;
    GtkWidget* window = nullptr;
    bool check_started = false;
    std::atomic<bool> close_requested{false};
};

using SharedState = std::shared_ptr<WindowState>;

void CloseOnMainThread(const SharedState& state) {
    if (state->window != nullptr) gtk_window_close(GTK_WINDOW(state->window));
}

void PostToMainThread(const SharedState& state, void (*action)(const SharedState&)) {
    struct Task {
        SharedState state;
        void (*action)(const SharedState&);
    };
    g_idle_add(
        [](gpointer data) -> gboolean {
            std::unique_ptr<Task> task(static_cast<Task*>(data));
            task->action(task->state);
            return G_SOURCE_REMOVE;
        },
        new Task{state, action});
}

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
    if (state->window != nullptr) gtk_window_close(GTK_WINDOW(state->window));
}

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (event != WEBKIT_LOAD_FINISHED || state->check_script.empty() || state->check_started)
        return;
    state->check_started = true;
    webkit_web_view_call_async_javascript_function(view, state->check_script.c_str(), -1, nullptr,
                                                   nullptr, nullptr, nullptr, OnCheckDone, state);
}

// The view stays on our own page: anything else is refused rather than shown in the
// window that can call native commands.
gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
    auto* state = static_cast<WindowState*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    auto* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const std::string target = uri != nullptr ? uri : "";
    if (target.rfind(state->origin + "/", 0) == 0 || target == "about:blank") return FALSE;
    if (state->log != nullptr) state->log("the window refused to leave the program's pages");
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

class WebViewWindow final : public DesktopWindow {
  public:
    explicit WebViewWindow(SharedState state) : state_(std::move(state)) {}

    void Run() override {
        if (state_->close_requested) return;
        GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), "Corvantis Merravine");
        gtk_window_set_default_size(GTK_WINDOW(window), 902, 702);
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
        auto* view =
            WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "is-ephemeral", TRUE, nullptr));
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), state_.get());
        g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), state_.get());
        // A script's window.close() closes our window as the user would.
        g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView*, gpointer data) {
                             auto* owner = static_cast<WindowState*>(data);
                             if (owner->window != nullptr)
                                 gtk_window_close(GTK_WINDOW(owner->window));
                         }),
                         state_.get());
        g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                             static_cast<WindowState*>(data)->window = nullptr;
                             gtk_main_quit();
                         }),
                         state_.get());
        state_->window = window;
        webkit_web_view_load_uri(view, state_->url.c_str());
        gtk_widget_show_all(window);
        // A close asked for between the check above and now is still queued as an idle task.
        if (state_->close_requested) PostToMainThread(state_, CloseOnMainThread);
        gtk_main();
        if (state_->window != nullptr) {
            gtk_widget_destroy(state_->window);
            state_->window = nullptr;
        }
    }

    void RequestClose() override {
        state_->close_requested = true;
        PostToMainThread(state_, CloseOnMainThread);
    }

    void Minimize() override {
        PostToMainThread(state_, [](const SharedState& state) {
            if (state->window != nullptr) gtk_window_iconify(GTK_WINDOW(state->window));
        });
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
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    auto state = std::make_shared<WindowState>();
    state->url = url;
    state->origin = state->url.substr(0, state->url.find('/', state->url.find("//") + 2));
    state->check_script = check_script;
    state->log = log;
    return new WebViewWindow(std::move(state));
}
