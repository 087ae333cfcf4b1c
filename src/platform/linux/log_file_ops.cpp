#include "platform/log_file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace merravine::platform {

int LogFileOps::OpenForAppend(const std::string& path) {
    // O_APPEND: every write lands at the end even when another process appends too.
    return open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

bool LogFileOps::Write(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The line goes out with write(2) on an unbuffered descriptor, so it already sits in
// the kernel and survives a crash of the process, which is what the per-line flush is
// for. A disk sync per line would cost milliseconds and stall a scan that logs every
// unreadable file; the kernel writes the page cache out on its own schedule.
void LogFileOps::Flush(int) {}

int64_t LogFileOps::Size(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

void LogFileOps::Close(int fd) { close(fd); }

bool LogFileOps::Exists(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool LogFileOps::Remove(const std::string& path) { return unlink(path.c_str()) == 0; }

bool LogFileOps::Move(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeFolder(const std::string& path) {
    // The program's own folders: the user's alone (the umask may narrow it further).
    if (mkdir(path.c_str(), 0700) == 0) return true;
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolders(const std::string& path) {
    if (path.empty()) return false;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        MakeFolder(path.substr(0, slash));
    }
    return MakeFolder(path);
}

}  // namespace merravine::platform
