// What a file is, read through a handle: its type, identity (volume serial and file
// index, so hard links of one file are one file), link count, size and times. Used
// inside the platform folder only.
#pragma once

#include <windows.h>

#include <string>

#include "platform/file_walk.h"

namespace merravine::platform {

/// A handle that closes itself.
struct OwnedHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : handle(h) {}
    ~OwnedHandle() {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    bool Valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
};

/// Opens `system_path` (a SystemPath) to read its attributes only, sharing everything,
/// folders included; a reparse point itself unless `follow`.
HANDLE OpenForAttributes(const std::wstring& system_path, bool follow);

/// Fills `out` from an open handle; 0 or the errno.
int StatHandle(HANDLE handle, EntryStat& out);

/// Opens and examines `system_path`; 0 or the errno.
int StatSystemPath(const std::wstring& system_path, bool follow, EntryStat& out);

/// The entry type the attributes of a listing stand for.
EntryType TypeFromAttributes(DWORD attributes);

}  // namespace merravine::platform
