// The single instance on Windows: a named mutex held for the life of the process, and the
// bell a later start rings (a named event of the same session) so the running instance comes
// to the front. Console control events (Ctrl+C, closing the console) stand for the
// termination signals.
#include <windows.h>

#include <functional>
#include <mutex>
#include <set>

#include "platform/instance_bell.h"
#include "platform/signals_watch.h"
#include "platform/single_instance.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

// Kernel object names may not hold "\": the flag's path becomes a name of hex digits.
std::wstring ObjectName(const wchar_t* kind, const std::filesystem::path& path) {
    const std::wstring text = path.wstring();
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a over the path's units, case folded
    for (wchar_t c : text) {
        const wchar_t folded = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        hash = (hash ^ static_cast<uint16_t>(folded)) * 1099511628211ULL;
    }
    wchar_t digits[17];
    for (int i = 15; i >= 0; --i) {
        digits[i] = L"0123456789abcdef"[hash & 15];
        hash >>= 4;
    }
    digits[16] = L'\0';
    return std::wstring(L"Local\\merravine-") + kind + L"-" + digits;
}

std::mutex g_bells_mutex;
std::set<const void*> g_stopping_bells;

std::mutex g_signal_mutex;
std::function<void()>* g_signal_handler = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    std::lock_guard lock(g_signal_mutex);
    if (g_signal_handler == nullptr) return FALSE;
    (*g_signal_handler)();
    return TRUE;
}

}  // namespace

std::filesystem::path InstanceFlagPath(const std::string& name) {
    return std::filesystem::path(WideFromNarrow(name));
}

bool TakeInstanceFlag(const std::filesystem::path& file) {
    static std::mutex mutex;
    static std::set<std::wstring> held;  // the flags this process took; held until it ends
    const std::wstring name = ObjectName(L"instance", file);
    std::lock_guard lock(mutex);
    if (held.count(name) != 0) return true;
    HANDLE flag = CreateMutexW(nullptr, FALSE, name.c_str());
    if (flag == nullptr) return true;  // an unknown state never locks the user out
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(flag);
        return false;
    }
    held.insert(name);
    return true;
}

std::unique_ptr<InstanceBell> InstanceBell::Listen(const std::filesystem::path& socket_path,
                                                   std::function<void()> on_ring) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, ObjectName(L"bell", socket_path).c_str());
    if (event == nullptr) return nullptr;
    return std::unique_ptr<InstanceBell>(
        new InstanceBell(HandleToLong(event), socket_path, std::move(on_ring)));
}

InstanceBell::InstanceBell(int fd, std::filesystem::path path, std::function<void()> on_ring)
    : fd_(fd), path_(std::move(path)), on_ring_(std::move(on_ring)) {
    thread_ = std::thread([this] { Serve(); });
}

InstanceBell::~InstanceBell() {
    {
        std::lock_guard lock(g_bells_mutex);
        g_stopping_bells.insert(this);
    }
    SetEvent(LongToHandle(fd_));
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(g_bells_mutex);
        g_stopping_bells.erase(this);
    }
    CloseHandle(LongToHandle(fd_));
}

void InstanceBell::Serve() {
    for (;;) {
        if (WaitForSingleObject(LongToHandle(fd_), INFINITE) != WAIT_OBJECT_0) return;
        {
            std::lock_guard lock(g_bells_mutex);
            if (g_stopping_bells.count(this) != 0) return;
        }
        try {
            if (on_ring_) on_ring_();
        } catch (...) {  // a failing ring never ends the listener
        }
    }
}

bool RingInstanceBell(const std::filesystem::path& socket_path) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ObjectName(L"bell", socket_path).c_str());
    if (event == nullptr) return false;
    const bool rung = SetEvent(event) != 0;
    CloseHandle(event);
    return rung;
}

TerminationSignals::TerminationSignals(std::function<void()> on_signal)
    : on_signal_(std::move(on_signal)) {
    std::lock_guard lock(g_signal_mutex);
    g_signal_handler = &on_signal_;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TerminationSignals::~TerminationSignals() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    std::lock_guard lock(g_signal_mutex);
    if (g_signal_handler == &on_signal_) g_signal_handler = nullptr;
}

void TerminationSignals::Watch() {}

void IgnoreBrokenPipe() {}  // a write to a closed pipe fails with an error here, it never kills

}  // namespace merravine::platform
