// Starting programs and documents (ShellExecuteExW), Explorer, the default browser, power
// commands (ExitWindowsEx, SetSuspendState), the folder chooser's listing and loading
// modules on Windows.
// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <powrprof.h>
// clang-format on

#include <algorithm>
#include <cerrno>

#include "platform/data_folder.h"
#include "platform/folder_list.h"
#include "platform/loadable_module.h"
#include "platform/os_launcher.h"
#include "platform/power_control.h"
#include "platform/shell_open.h"
#include "platform/window_browser.h"
#include "platform/windows/win_text.h"
#include "util/text.h"

namespace merravine::platform {
namespace {

// One argument of a command line as the C runtime splits it again.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line.push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

// A path's form for other programs: backslashes, no "\\?\" prefix when it is short enough.
std::wstring DisplayPath(const std::string& path) {
    std::wstring wide = SystemPath(path);
    if (wide.size() < MAX_PATH + 4) {
        if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + wide.substr(8);
        if (wide.rfind(L"\\\\?\\", 0) == 0) return wide.substr(4);
    }
    return wide;
}

class ShellLauncher final : public Launcher {
  public:
    LaunchResult Run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds wait) override {
        LaunchResult result;
        if (argv.empty()) return result;
        const std::wstring file = WideFromNarrow(argv[0]);
        std::wstring parameters;
        for (size_t i = 1; i < argv.size(); ++i) {
            if (i > 1) parameters.push_back(L' ');
            AppendQuoted(parameters, WideFromNarrow(argv[i]));
        }
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        info.lpFile = file.c_str();
        info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
        info.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExW(&info)) return result;
        result.started = true;
        if (info.hProcess == nullptr) {  // handed to a program that was running already
            result.finished = true;
            result.exit_code = 0;
            return result;
        }
        const auto millis = static_cast<DWORD>(std::clamp<long long>(wait.count(), 0, 0x7FFFFFFF));
        if (WaitForSingleObject(info.hProcess, millis) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(info.hProcess, &code);
            result.finished = true;
            result.exit_code = static_cast<int>(code);
        }
        CloseHandle(info.hProcess);
        return result;
    }
};

bool EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool ok =
        LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

class WindowsPowerControl final : public PowerControl {
  public:
    void Request(PowerAction action) override {
        EnableShutdownPrivilege();
        const DWORD reason = SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED;
        switch (action) {
            case PowerAction::kPowerOff:
                ExitWindowsEx(EWX_POWEROFF, reason);
                break;
            case PowerAction::kReboot:
                ExitWindowsEx(EWX_REBOOT, reason);
                break;
            case PowerAction::kHibernate:
                SetSuspendState(TRUE, FALSE, FALSE);
                break;
            case PowerAction::kSuspend:
                SetSuspendState(FALSE, FALSE, FALSE);
                break;
        }
    }
};

bool NameLess(const FolderEntry& a, const FolderEntry& b) {
    const std::string x = AsciiLowered(a.name);
    const std::string y = AsciiLowered(b.name);
    return x != y ? x < y : a.name < b.name;
}

bool IsAbsoluteText(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') || path.rfind("//", 0) == 0 ||
           path.rfind("\\\\", 0) == 0;
}

}  // namespace

Launcher& SystemLauncher() {
    static ShellLauncher launcher;
    return launcher;
}

PowerControl& SystemPowerControl() {
    static WindowsPowerControl control;
    return control;
}

std::string FileUri(const std::string& path) {
    std::string text = ProgramPath(SystemPath(path));
    if (text.rfind("//", 0) == 0) return "file:" + PercentEncodePath(text);
    return "file:///" + PercentEncodePath(text);
}

bool ShowItemInFileManager(Launcher& launcher, const std::string& path) {
    const std::string shown = NarrowFromWide(DisplayPath(path));
    return launcher.Run({"explorer.exe", "/select," + shown}, std::chrono::milliseconds(0)).started;
}

int OpenFolder(Launcher& launcher, const std::string& folder) {
    const DWORD attributes = GetFileAttributesW(SystemPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return 2;
    const LaunchResult result =
        launcher.Run({NarrowFromWide(DisplayPath(folder))}, std::chrono::milliseconds(0));
    return result.started ? 0 : 31;
}

int OpenWithDefaultApp(Launcher& launcher, const std::string& path) {
    if (GetFileAttributesW(SystemPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) return 2;
    const LaunchResult result =
        launcher.Run({NarrowFromWide(DisplayPath(path))}, std::chrono::milliseconds(0));
    return result.started ? 0 : 31;
}

// A desktop is always there for a program started by a user; services have none, and
// their ShellExecute fails, which OpenInBrowser reports.
bool HasGraphicalSession() {
    return GetSystemMetrics(SM_CMONITORS) > 0 || GetConsoleWindow() != nullptr;
}

// The address carries the launch secret, which must not stand on a command line: the
// browser opens a launch file in the user's own temporary folder that forwards to it.
std::string OpenInBrowser(const std::string& url) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length > MAX_PATH) return "";
    const std::string page =
        "<!DOCTYPE html><meta charset=\"utf-8\"><title>Corvantis Merravine</title>"
        "<script>location.replace(\"" +
        url + "\")</script>";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path = std::wstring(temp) + L"merravine-open-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".html";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return "";
        }
        DWORD written = 0;
        const bool ok =
            WriteFile(file, page.data(), static_cast<DWORD>(page.size()), &written, nullptr) &&
            written == page.size();
        CloseHandle(file);
        const auto started = reinterpret_cast<INT_PTR>(
            ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
        if (!ok || started <= 32) {
            DeleteFileW(path.c_str());
            return "";
        }
        return NarrowFromWide(path);
    }
    return "";
}

void* LoadModuleSymbol(const std::string& path, const char* name, std::string& error) {
    HMODULE module =
        LoadLibraryExW(SystemPath(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        error = "cannot load " + path;
        return nullptr;
    }
    void* symbol = reinterpret_cast<void*>(GetProcAddress(module, name));
    if (symbol == nullptr) error = std::string("no symbol ") + name + " in " + path;
    return symbol;
}

FolderListing ListSubfolders(const std::string& path) {
    FolderListing listing;
    std::string start = path;
    if (start.empty() || start == "~") {
        start = HomeFolder();
    } else if (start.rfind("~/", 0) == 0 || start.rfind("~\\", 0) == 0) {
        start = HomeFolder() + "/" + start.substr(2);
    } else if (!IsAbsoluteText(start)) {
        start = HomeFolder() + "/" + start;  // relative to the home folder, as on the other systems
    }
    const std::wstring folder = SystemPath(start);
    listing.resolved = ProgramPath(folder);
    while (listing.resolved.size() > 3 && listing.resolved.back() == '/')
        listing.resolved.pop_back();
    WIN32_FIND_DATAW data{};
    HANDLE find =
        FindFirstFileExW((folder + (folder.back() == L'\\' ? L"*" : L"\\*")).c_str(),
                         FindExInfoBasic, &data, FindExSearchLimitToDirectories, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        listing.error = "cannot list the folder (" + std::to_string(GetLastError()) + ")";
        return listing;
    }
    do {
        const std::wstring_view name(data.cFileName);
        if (name == L"." || name == L"..") continue;
        const DWORD attributes = data.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        listing.folders.push_back(
            FolderEntry{NarrowFromWide(name), (attributes & FILE_ATTRIBUTE_HIDDEN) != 0});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(listing.folders.begin(), listing.folders.end(), NameLess);
    return listing;
}

}  // namespace merravine::platform
