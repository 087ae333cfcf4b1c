// Reading a file's content with CreateFileW: plain files only (a reparse point, folder or
// device is refused before any read), shared so other programs keep their access, and
// announced as sequential so the cache manager reads ahead.
#include "platform/file_read.h"

// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <io.h>
// clang-format on

#include <cerrno>
#include <cstdio>

#include "platform/windows/win_text.h"

namespace merravine::platform {
namespace {

// Kernel handles fit into 32 bits on every Windows, so the descriptor field holds one.
HANDLE AsHandle(int fd) { return LongToHandle(fd); }

}  // namespace

ContentFile::~ContentFile() {
    if (fd_ != -1) CloseHandle(AsHandle(fd_));
}

int ContentFile::Open(const std::string& path) {
    if (fd_ != -1) {
        CloseHandle(AsHandle(fd_));
        fd_ = -1;
    }
    HANDLE file =
        CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastErrno();
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        CloseHandle(file);
        return EINVAL;
    }
    size_ = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    fd_ = HandleToLong(file);
    return 0;
}

void ContentFile::AdviseSequential() const {}  // said with FILE_FLAG_SEQUENTIAL_SCAN at the open

long ContentFile::Read(void* buffer, size_t length) const {
    if (fd_ == -1) return -EBADF;
    const DWORD want = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    DWORD got = 0;
    if (!ReadFile(AsHandle(fd_), buffer, want, &got, nullptr)) return -LastErrno();
    return static_cast<long>(got);
}

long ContentFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
    if (fd_ == -1) return -EBADF;
    const DWORD want = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(AsHandle(fd_), buffer, want, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        return -LastErrno();
    }
    return static_cast<long>(got);
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace merravine::platform
