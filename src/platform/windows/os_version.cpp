// The true Windows version from ntdll's RtlGetNtVersionNumbers, which no compatibility
// mode changes.
#include "platform/os_version.h"

#include <windows.h>

namespace merravine::platform {

int OsVersionCode() {
    using VersionNumbers = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return 12;
    const auto numbers = reinterpret_cast<VersionNumbers>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers")));
    if (numbers == nullptr) return 12;
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    numbers(&major, &minor, &build);
    return WindowsVersionCode(major, minor);
}

}  // namespace merravine::platform
