#include "platform/file_actions.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "platform/trash_move.h"
#include "util/text.h"

namespace merravine::platform {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kCompareChunk = 256 << 10;

int64_t Nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

/// A device number in the form the walk records it (major in the high half).
uint64_t DeviceId(dev_t device) {
    return (static_cast<uint64_t>(major(device)) << 32) | minor(device);
}

FileStamp StampFrom(const struct stat& info) {
    FileStamp stamp;
    stamp.plain = S_ISREG(info.st_mode);
    stamp.device = DeviceId(info.st_dev);
    stamp.inode = info.st_ino;
    stamp.size = static_cast<uint64_t>(info.st_size);
    stamp.links = static_cast<uint32_t>(info.st_nlink);
    stamp.modifyNs = Nanoseconds(info.st_mtim);
    stamp.changeNs = Nanoseconds(info.st_ctim);
    stamp.accessNs = Nanoseconds(info.st_atim);
    return stamp;
}

/// Whether an open file is still the plain file `expect` (identity when known, size).
bool SameFile(const struct stat& info, const FileStamp& expect) {
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) != expect.size) return false;
    if (expect.inode == 0) return true;
    return DeviceId(info.st_dev) == expect.device && info.st_ino == expect.inode;
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

/// Opens `name` for reading without following a link and checks it is `expect`.
int OpenChecked(const Folder& folder, const std::string& name, const FileStamp& expect, int flags,
                int& fd_out) {
    const int fd =
        openat(folder.Fd(), name.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ELOOP ? ESTALE : errno;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !SameFile(info, expect)) {
        close(fd);
        return ESTALE;
    }
    fd_out = fd;
    return 0;
}

/// Reads exactly `size` bytes or up to the end; -1 on error with errno set.
ssize_t ReadFull(int fd, char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int CompareOpen(int a, int b, bool& equal) {
    std::vector<char> left(kCompareChunk);
    std::vector<char> right(kCompareChunk);
    if (lseek(a, 0, SEEK_SET) < 0 || lseek(b, 0, SEEK_SET) < 0) return errno;
    for (;;) {
        const ssize_t n = ReadFull(a, left.data(), left.size());
        const ssize_t m = ReadFull(b, right.data(), right.size());
        if (n < 0 || m < 0) return errno ? errno : EIO;
        if (n != m || std::memcmp(left.data(), right.data(), static_cast<size_t>(n)) != 0) {
            equal = false;
            return 0;
        }
        if (n == 0) {
            equal = true;
            return 0;
        }
    }
}

/// A name for a temporary entry beside the files it stands in for.
std::string TemporaryName(std::string_view purpose) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[64];
    std::snprintf(text, sizeof text, ".merravine-%.*s-%016llx", static_cast<int>(purpose.size()),
                  purpose.data(), static_cast<unsigned long long>(random()));
    return text;
}

int WriteAll(int fd, const char* data, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        written += static_cast<size_t>(n);
    }
    return 0;
}

/// Copies the open `source` into a new temporary file in `target`, flushes and
/// compares it; on success `temp_name` holds the copy, else nothing is left.
int CopyVerified(int source, const struct stat& info, const Folder& target,
                 std::string& temp_name) {
    temp_name = TemporaryName("move");
    const int out = openat(target.Fd(), temp_name.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return errno;
    Fd guard(out);
    std::vector<char> buffer(kCompareChunk);
    int error = lseek(source, 0, SEEK_SET) < 0 ? errno : 0;
    while (error == 0) {
        const ssize_t n = ReadFull(source, buffer.data(), buffer.size());
        if (n < 0) error = errno ? errno : EIO;
        if (n <= 0) break;
        error = WriteAll(out, buffer.data(), static_cast<size_t>(n));
    }
    if (error == 0 && fsync(out) != 0) error = errno;
    bool equal = false;
    if (error == 0) error = CompareOpen(source, out, equal);
    if (error == 0 && !equal) error = EIO;
    if (error == 0) {
        // The copy takes the original's mode and times; a failure here loses nothing.
        fchmod(out, info.st_mode & 07777);
        const timespec times[2] = {info.st_atim, info.st_mtim};
        futimens(out, times);
    }
    if (error != 0) unlinkat(target.Fd(), temp_name.c_str(), 0);
    return error;
}

/// Gives `temp` in `folder` the name `name` unless an entry of that name exists.
int NameWithoutReplacing(const Folder& folder, const std::string& temp, const std::string& name) {
    if (renameat2(folder.Fd(), temp.c_str(), folder.Fd(), name.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the no-replace rename: a link never replaces either.
    if (linkat(folder.Fd(), temp.c_str(), folder.Fd(), name.c_str(), 0) != 0) return errno;
    unlinkat(folder.Fd(), temp.c_str(), 0);
    return 0;
}

/// Opens `relative` below `base` one part at a time, never through a link; with
/// `make`, missing parts are made (mode 0700) on the way.
int WalkFolders(const Folder& base, std::string_view relative, bool make, Folder& out) {
    Folder current(fcntl(base.Fd(), F_DUPFD_CLOEXEC, 0));
    if (!current.IsOpen()) return errno;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string part(relative.substr(start, end - start));
        start = end + 1;
        if (part.empty()) continue;
        if (part == "." || part == "..") return EINVAL;
        int fd = openat(current.Fd(), part.c_str(), kFolderFlags);
        if (fd < 0 && errno == ENOENT && make) {
            if (mkdirat(current.Fd(), part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
            fd = openat(current.Fd(), part.c_str(), kFolderFlags);
        }
        // A link where a folder was expected fails with ENOTDIR (O_DIRECTORY) or ELOOP.
        if (fd < 0) return errno == ENOTDIR ? ELOOP : errno;
        current = Folder(fd);
    }
    out = std::move(current);
    return 0;
}

}  // namespace

Folder::~Folder() {
    if (fd_ >= 0) close(fd_);
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool IsCanonicalFolder(std::string_view folder) {
    if (folder.empty() || folder.front() != '/' || folder.back() != '/') return false;
    size_t start = 1;
    while (start < folder.size()) {
        const size_t end = folder.find('/', start);
        const std::string_view part = folder.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

int OpenFolder(const std::string& folder, Folder& out) {
    if (!IsCanonicalFolder(folder)) return EINVAL;
    const Folder root(open("/", kFolderFlags));
    if (!root.IsOpen()) return errno;
    return WalkFolders(root, std::string_view(folder).substr(1), false, out);
}

int OpenOrMakeFolders(const Folder& base, std::string_view relative, Folder& out) {
    return WalkFolders(base, relative, true, out);
}

int StampOf(const Folder& folder, const std::string& name, FileStamp& out) {
    struct stat info {};
    if (fstatat(folder.Fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    out = StampFrom(info);
    return 0;
}

int CompareFiles(const Folder& folderA, const std::string& nameA, const FileStamp& expectA,
                 const Folder& folderB, const std::string& nameB, const FileStamp& expectB,
                 bool& equal) {
    int a = -1;
    int b = -1;
    if (const int error = OpenChecked(folderA, nameA, expectA, O_RDONLY, a)) return error;
    Fd guard_a(a);
    if (const int error = OpenChecked(folderB, nameB, expectB, O_RDONLY, b)) return error;
    Fd guard_b(b);
    return CompareOpen(a, b, equal);
}

int RemoveEntry(const Folder& folder, const std::string& name) {
    return unlinkat(folder.Fd(), name.c_str(), 0) == 0 ? 0 : errno;
}

int LinkOver(const Folder& keptFolder, const std::string& keptName, const FileStamp& kept,
             const Folder& folder, const std::string& name, const FileStamp& target) {
    const std::string temp = TemporaryName("link");
    if (linkat(keptFolder.Fd(), keptName.c_str(), folder.Fd(), temp.c_str(), 0) != 0) return errno;
    // The kept name may have been replaced since it was checked: the link must be the
    // inode that was checked, or it goes again.
    FileStamp linked;
    if (StampOf(folder, temp, linked) != 0 || !linked.plain || linked.device != kept.device ||
        linked.inode != kept.inode || linked.size != kept.size) {
        unlinkat(folder.Fd(), temp.c_str(), 0);
        return ESTALE;
    }
    // The name must still hold the file that was checked and compared: whatever took its
    // place meanwhile is not replaced.
    FileStamp now;
    if (StampOf(folder, name, now) != 0 || !now.plain || now.device != target.device ||
        now.inode != target.inode || now.size != target.size || now.modifyNs != target.modifyNs) {
        unlinkat(folder.Fd(), temp.c_str(), 0);
        return ESTALE;
    }
    if (renameat(folder.Fd(), temp.c_str(), folder.Fd(), name.c_str()) != 0) {
        const int error = errno;
        unlinkat(folder.Fd(), temp.c_str(), 0);
        return error;
    }
    return 0;
}

int CloneOver(const Folder& keptFolder, const std::string& keptName, const FileStamp& kept,
              const Folder& folder, const std::string& name, const FileStamp& target) {
    int source = -1;
    if (const int error = OpenChecked(keptFolder, keptName, kept, O_RDONLY, source)) return error;
    Fd source_guard(source);
    int dest = -1;
    if (const int error = OpenChecked(folder, name, target, O_WRONLY, dest)) return error;
    Fd dest_guard(dest);
    struct stat before {};
    if (fstat(dest, &before) != 0) return errno;
    if (ioctl(dest, FICLONE, source) != 0) return errno;
    // The clone rewrites the content (the same bytes); the file keeps its own times.
    const timespec times[2] = {before.st_atim, before.st_mtim};
    futimens(dest, times);
    return 0;
}

bool CanCloneIn(const std::string& folder) {
    const int a = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (a < 0) return false;
    Fd guard_a(a);
    const int b = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (b < 0) return false;
    Fd guard_b(b);
    const char byte = 'm';
    if (WriteAll(a, &byte, 1) != 0) return false;
    return ioctl(b, FICLONE, a) == 0;
}

int MoveEntry(const Folder& folder, const std::string& name, const FileStamp& expect,
              const Folder& targetFolder, const std::string& targetName) {
    int source = -1;
    if (const int error = OpenChecked(folder, name, expect, O_RDONLY, source)) return error;
    Fd source_guard(source);
    struct stat info {};
    if (fstat(source, &info) != 0) return errno;
    if (renameat2(folder.Fd(), name.c_str(), targetFolder.Fd(), targetName.c_str(),
                  RENAME_NOREPLACE) == 0) {
        // The name moved; if another file had taken it since the check, it goes back.
        struct stat moved {};
        if (fstatat(targetFolder.Fd(), targetName.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
            (moved.st_dev != info.st_dev || moved.st_ino != info.st_ino)) {
            renameat2(targetFolder.Fd(), targetName.c_str(), folder.Fd(), name.c_str(),
                      RENAME_NOREPLACE);
            return ESTALE;
        }
        return 0;
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        if (linkat(folder.Fd(), name.c_str(), targetFolder.Fd(), targetName.c_str(), 0) == 0) {
            return unlinkat(folder.Fd(), name.c_str(), 0) == 0 ? 0 : errno;
        }
        error = errno;
    }
    if (error != EXDEV) return error;
    // Another file system: a verified copy under a temporary name, then its own name
    // (never over an existing one), then the original goes, while it is still the file.
    FileStamp there;
    if (StampOf(targetFolder, targetName, there) == 0) return EEXIST;
    std::string temp;
    if (const int copy_error = CopyVerified(source, info, targetFolder, temp)) return copy_error;
    if (const int name_error = NameWithoutReplacing(targetFolder, temp, targetName)) {
        unlinkat(targetFolder.Fd(), temp.c_str(), 0);
        return name_error;
    }
    // The new name is flushed before the original goes (an O_PATH folder cannot be).
    if (const int dir = openat(targetFolder.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        fsync(dir);
        close(dir);
    }
    FileStamp now;
    struct stat current {};
    if (StampOf(folder, name, now) != 0 || fstat(source, &current) != 0 || !now.plain ||
        now.device != DeviceId(info.st_dev) || now.inode != info.st_ino ||
        now.modifyNs != Nanoseconds(current.st_mtim) || now.size != expect.size) {
        // The original changed while it was copied: the copy goes, the original stays.
        unlinkat(targetFolder.Fd(), targetName.c_str(), 0);
        return ESTALE;
    }
    return unlinkat(folder.Fd(), name.c_str(), 0) == 0 ? 0 : errno;
}

int TrashEntry(const Folder& open, const std::string& folder, const std::string& name,
               const FileStamp& expect, TrashPlace& place) {
    struct stat info {};
    if (fstatat(open.Fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!SameFile(info, expect)) return ESTALE;
    place.originalPath = folder + name;
    return TrashEntryAt(open.Fd(), name, place.originalPath, info.st_dev, place.filePath,
                        place.infoPath);
}

int RestoreFromTrash(const TrashPlace& place) {
    // The info file must still say where the file came from; a trash emptied or edited
    // since leaves the file where it is.
    std::ifstream info(place.infoPath);
    std::string line;
    bool names_it = false;
    const std::string wanted = place.originalPath;
    const std::string encoded = PercentEncodePath(wanted);
    while (std::getline(info, line)) {
        if (line.rfind("Path=", 0) != 0) continue;
        const std::string value = line.substr(5);
        // A home trash holds the whole path, a trash at a mount root the part below it.
        names_it = value == encoded ||
                   (!value.empty() && value[0] != '/' && encoded.size() > value.size() &&
                    encoded.compare(encoded.size() - value.size() - 1, std::string::npos,
                                    "/" + value) == 0);
    }
    if (!names_it) return ENOENT;
    const size_t slash = wanted.find_last_of('/');
    if (slash == std::string::npos) return EINVAL;
    Folder parent;
    if (const int error = OpenFolder(wanted.substr(0, slash + 1), parent)) return error;
    const std::string name = wanted.substr(slash + 1);
    if (renameat2(AT_FDCWD, place.filePath.c_str(), parent.Fd(), name.c_str(), RENAME_NOREPLACE) !=
        0) {
        if (errno != EINVAL && errno != ENOSYS) return errno;
        if (linkat(AT_FDCWD, place.filePath.c_str(), parent.Fd(), name.c_str(), 0) != 0)
            return errno;
        unlink(place.filePath.c_str());
    }
    unlink(place.infoPath.c_str());
    return 0;
}

}  // namespace merravine::platform
