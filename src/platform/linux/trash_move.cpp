#include "platform/trash_move.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "util/text.h"

namespace merravine::platform {

namespace {

constexpr int kMaxNameAttempts = 10000;

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The device of the nearest folder at or above `path` that exists.
std::optional<dev_t> DeviceOfNearest(std::string path) {
    for (;;) {
        struct stat info {};
        if (stat(path.c_str(), &info) == 0) return info.st_dev;
        if (path == "/" || path == ".") return std::nullopt;
        path = ParentOf(path);
    }
}

/// The top folder of the mount that holds `folder` (which lies on `device`).
std::string MountRootOf(std::string folder, dev_t device) {
    while (folder != "/") {
        const std::string parent = ParentOf(folder);
        struct stat info {};
        if (stat(parent.c_str(), &info) != 0 || info.st_dev != device) return folder;
        folder = parent;
    }
    return folder;
}

/// Makes `path` a folder of mode 0700 when missing; true when it is a real folder now.
bool EnsurePrivateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EnsureFolderTree(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    if (path != "/" && !EnsureFolderTree(ParentOf(path))) return false;
    return EnsurePrivateFolder(path);
}

/// The trash folder for a file on another file system than home, and the folder that
/// the Path value is relative to; nullopt when no usable trash can be had there.
std::optional<std::string> TopFolderTrash(const std::string& top, uid_t uid) {
    const std::string shared = (top == "/" ? std::string() : top) + "/.Trash";
    struct stat info {};
    if (lstat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX)) {
        const std::string own = shared + "/" + std::to_string(uid);
        if (EnsurePrivateFolder(own)) return own;
    }
    const std::string own = (top == "/" ? std::string() : top) + "/.Trash-" + std::to_string(uid);
    if (!EnsurePrivateFolder(own)) return std::nullopt;
    // A trash folder that is not ours (another user made it to catch our files) is not used.
    if (lstat(own.c_str(), &info) != 0 || info.st_uid != uid) return std::nullopt;
    return own;
}

std::string DeletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

/// The n-th name tried for `base`: the name itself, then "stem.n.ext".
std::string CandidateName(const std::string& base, int attempt) {
    if (attempt == 1) return base;
    const size_t dot = base.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return base + "." + std::to_string(attempt);
    return base.substr(0, dot) + "." + std::to_string(attempt) + base.substr(dot);
}

bool WriteAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

/// Writes the info file under a free name, then renames entry `name` of `dirfd` in.
/// 0 or errno; fills the two paths in the trash.
int MoveInto(const std::string& trash, int dirfd, const std::string& name,
             const std::string& full_path, const std::string& path_value, std::string& file_path,
             std::string& info_path_out) {
    const std::string files = trash + "/files";
    const std::string infos = trash + "/info";
    if (!EnsurePrivateFolder(files) || !EnsurePrivateFolder(infos)) return errno ? errno : EIO;
    const std::string content = "[Trash Info]\nPath=" + PercentEncodePath(path_value) +
                                "\nDeletionDate=" + DeletionDate() + "\n";
    const std::string base = BaseName(full_path);
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const std::string candidate = CandidateName(base, attempt);
        const std::string info_path = infos + "/" + candidate + ".trashinfo";
        const int fd = open(info_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        const std::string target = files + "/" + candidate;
        struct stat existing {};
        if (lstat(target.c_str(), &existing) == 0) {
            close(fd);
            unlink(info_path.c_str());
            continue;
        }
        // The info is complete before the file leaves its folder: a file in the trash
        // without its info could not be restored. (It is not flushed to disk one by one:
        // that would cost a disk round trip per file.)
        const bool written = WriteAll(fd, content);
        close(fd);
        if (written && renameat(dirfd, name.c_str(), AT_FDCWD, target.c_str()) == 0) {
            file_path = target;
            info_path_out = info_path;
            return 0;
        }
        const int error = written ? errno : EIO;
        unlink(info_path.c_str());
        return error;
    }
    return EEXIST;
}

RemoveOutcome OutcomeOf(int error) {
    if (error == 0) return RemoveOutcome::kRemoved;
    return error == ENOENT ? RemoveOutcome::kAlreadyGone : RemoveOutcome::kFailed;
}

}  // namespace

std::string HomeTrashFolder() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/') return std::string(data_home) + "/Trash";
    std::string home;
    if (const char* env_home = std::getenv("HOME"); env_home != nullptr && env_home[0] == '/') {
        home = env_home;
    } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
        home = entry->pw_dir;
    }
    return home + "/.local/share/Trash";
}

int TrashEntryAt(int dirfd, const std::string& name, const std::string& full_path, uint64_t device,
                 std::string& file_path, std::string& info_path) {
    if (full_path.empty() || full_path[0] != '/') return EINVAL;
    const std::string home_trash = HomeTrashFolder();
    const std::optional<dev_t> home_device = DeviceOfNearest(home_trash);
    if (home_device && *home_device == device) {
        if (!EnsureFolderTree(home_trash)) return errno ? errno : EIO;
        return MoveInto(home_trash, dirfd, name, full_path, full_path, file_path, info_path);
    }
    const std::string top = MountRootOf(ParentOf(full_path), static_cast<dev_t>(device));
    const std::optional<std::string> trash = TopFolderTrash(top, getuid());
    if (!trash) return EACCES;
    // In a trash at a mount root the Path is relative to that root, so the volume can
    // be mounted elsewhere and its files still be restored.
    const std::string relative =
        top == "/" ? full_path.substr(1) : full_path.substr(top.size() + 1);
    return MoveInto(*trash, dirfd, name, full_path, relative, file_path, info_path);
}

RemoveOutcome TrashScannedFile(const std::string& full_path, uint64_t expected_size) {
    const RemoveOutcome check = CheckScannedFile(full_path, expected_size);
    if (check != RemoveOutcome::kRemoved) return check;
    if (full_path.empty() || full_path[0] != '/') return RemoveOutcome::kFailed;
    struct stat file_info {};
    if (lstat(full_path.c_str(), &file_info) != 0) return RemoveOutcome::kFailed;
    std::string file_path;
    std::string info_path;
    return OutcomeOf(
        TrashEntryAt(AT_FDCWD, full_path, full_path, file_info.st_dev, file_path, info_path));
}

}  // namespace merravine::platform
