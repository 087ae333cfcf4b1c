#include "platform/atomic_file.h"

#include <dirent.h>
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
    // O_NONBLOCK: opening a FIFO with no writer must not wait for one.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? FileReadStatus::kMissing
                                                   : FileReadStatus::kFailed;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return FileReadStatus::kNotPlainFile;
    }
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
    struct stat info {};
    const bool existed = stat(target.c_str(), &info) == 0;
    if (existed && !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        error = Reason("not a plain file:", target);
        return false;
    }

    std::string temp = target + ".tmp-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = Reason("cannot create a temporary file beside", target);
        return false;
    }
    // mkostemp made the file 0600 under the umask; an existing file's bits carry over.
    const bool written = WriteAll(fd, content) &&
                         (!existed || fchmod(fd, info.st_mode & 0600) == 0) && fsync(fd) == 0;
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

bool CreatePrivateFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int RemoveLeftoverTemporaries(const std::string& path) {
    const std::string target = ResolveTarget(path);
    const std::string folder = FolderOfPath(target);
    const std::string prefix = target.substr(folder.empty() ? 0 : folder.size() + 1) + ".tmp-";
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        // mkostemp's six characters after the prefix, and nothing else.
        if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
        struct stat info {};
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++removed;
    }
    closedir(dir);
    return removed;
}

}  // namespace merravine::platform
