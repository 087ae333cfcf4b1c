#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/module_directory.h"

namespace merravine::platform {

namespace {

std::string Reason(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The file that is really replaced: the target of a symbolic link, else the path.
std::string ResolveTarget(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

}  // namespace

FileReadStatus ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? FileReadStatus::kMissing
                                                   : FileReadStatus::kFailed;
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return FileReadStatus::kFailed;
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return FileReadStatus::kOk;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string& error) {
    error.clear();
    const std::string target = ResolveTarget(path);
    mode_t mode = 0644;
    struct stat info {};
    if (stat(target.c_str(), &info) == 0) mode = info.st_mode & 07777;

    std::string temp = target + ".tmp-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = Reason("cannot create a temporary file beside", target);
        return false;
    }
    const bool written = WriteAll(fd, content) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (!written) error = Reason("cannot write", temp);
    if (close(fd) != 0 && written) error = Reason("cannot close", temp);
    if (!error.empty() || rename(temp.c_str(), target.c_str()) != 0) {
        if (error.empty()) error = Reason("cannot replace", target);
        unlink(temp.c_str());
        return false;
    }
    // Flush the folder so the rename itself survives a power loss.
    const std::string folder = FolderOfPath(target);
    const int dir_fd =
        open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return true;
}

}  // namespace merravine::platform
