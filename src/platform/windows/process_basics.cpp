// The small process facilities: thread ids, the heap, the handle limit, the program's folder.
#include <malloc.h>
#include <windows.h>

#include <cerrno>
#include <vector>

#include "platform/disk_layout.h"
#include "platform/heap_release.h"
#include "platform/module_directory.h"
#include "platform/open_file_limit.h"
#include "platform/thread_id.h"
#include "platform/windows/win_text.h"

namespace merravine::platform {

int64_t CurrentThreadId() { return static_cast<int64_t>(GetCurrentThreadId()); }

void ReleaseFreeHeap() { _heapmin(); }

void UseOneHeap() {}  // the process heap is one heap already

// Handles have no per-process limit worth raising; the C library's descriptors are not used
// for files here.
uint64_t RaiseOpenFileLimit() { return 16u * 1024u * 1024u; }

// The seek penalty of a volume is not asked here: every device reads as it would.
Rotation RotationOf(char flag, std::string_view) {
    return flag == '0' ? Rotation::Solid : flag == '1' ? Rotation::Rotating : Rotation::Unknown;
}
Rotation DeviceRotation(uint64_t) { return Rotation::Unknown; }
Rotation PathRotation(const std::string&) { return Rotation::Unknown; }
int LocateFile(const std::string&, FileLocation&) { return ENOSYS; }

std::string FolderOfPath(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:/"
    return path.substr(0, slash);
}

std::string GetModuleDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size())
            return FolderOfPath(ProgramPath(std::wstring_view(buffer.data(), length)));
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace merravine::platform
