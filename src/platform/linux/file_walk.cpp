// WalkFolder listings through openat/getdents64 and statx, and the pseudo file system test
// through fstatfs. devtmpfs reports the tmpfs magic number, so /dev is recognised by
// its device number instead.
#include "platform/file_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/path_open.h"

namespace merravine::platform {
namespace {

constexpr size_t kEntriesBuffer = 64 << 10;  // bytes of entries read per call

constexpr std::array<unsigned long, 22> kPseudoMagic = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x6165676C,  // pstore
    0xcafe4a11,  // bpf
    0x62656570,  // configfs
    0x1cd1,      // devpts
    0x19800202,  // mqueue
    0x65735543,  // fusectl
    0xde5e81e4,  // efivarfs
    0x42494e4d,  // binfmt_misc
    0x0187,      // autofs
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x6e736673,  // nsfs
    0x534f434b,  // sockfs
    0x50495045,  // pipefs
    0x958458f6,  // hugetlbfs
};

// The device of /dev when it is a devtmpfs-like mount, else 0.
dev_t DeviceFolderDevice() {
    static const dev_t device = [] {
        struct stat info {};
        if (stat("/dev", &info) != 0) return dev_t{0};
        return info.st_dev;
    }();
    return device;
}

}  // namespace

WalkFolder& WalkFolder::operator=(WalkFolder&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        read_ = other.read_;
        other.fd_ = -1;
    }
    return *this;
}

void WalkFolder::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
        read_ = false;
        DescriptorReleased();
    }
}

int WalkFolder::Open(const std::string& path, bool followLink) {
    Close();
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = OpenAnyLength(path, flags);
    if (fd < 0) return -fd;
    fd_ = fd;
    return 0;
}

int WalkFolder::OpenChild(const char* name, WalkFolder& child) const {
    child.Close();
    if (fd_ < 0) return EBADF;
    const int fd = openat(fd_, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    child.fd_ = fd;
    return 0;
}

FolderEntries::FolderEntries() : buffer_(static_cast<char*>(std::malloc(kEntriesBuffer))) {
    if (buffer_ == nullptr) throw std::bad_alloc();
}

FolderEntries::~FolderEntries() { std::free(buffer_); }

void FolderEntries::Start(const WalkFolder& folder) {
    fd_ = folder.fd_;
    filled_ = 0;
    at_ = 0;
    error_ = 0;
    if (fd_ >= 0 && folder.read_) lseek(fd_, 0, SEEK_SET);
    folder.read_ = true;
}

bool FolderEntries::Next(std::string_view& name, EntryType& type) {
    if (fd_ < 0) return false;
    if (at_ >= filled_) {
        const ssize_t got = getdents64(fd_, buffer_, kEntriesBuffer);
        if (got <= 0) {
            error_ = got < 0 ? errno : 0;
            fd_ = -1;
            return false;
        }
        filled_ = got;
        at_ = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(buffer_ + at_);
    at_ += entry->d_reclen;
    name = entry->d_name;
    entry_hidden_ = entry->d_name[0] == '.';
    switch (entry->d_type) {
        case DT_REG:
            type = EntryType::File;
            break;
        case DT_DIR:
            type = EntryType::Directory;
            break;
        case DT_LNK:
            type = EntryType::Symlink;
            break;
        case DT_UNKNOWN:
            type = EntryType::Unknown;
            break;
        default:
            type = EntryType::Other;
            break;
    }
    return true;
}

static void FromStatx(const struct statx& info, EntryStat& out) {
    const mode_t mode = info.stx_mode;
    out.type = S_ISREG(mode)   ? EntryType::File
               : S_ISDIR(mode) ? EntryType::Directory
               : S_ISLNK(mode) ? EntryType::Symlink
                               : EntryType::Other;
    out.size = info.stx_size;
    out.device = (static_cast<uint64_t>(info.stx_dev_major) << 32) | info.stx_dev_minor;
    out.inode = info.stx_ino;
    out.links = info.stx_nlink;
    out.hasCreateTime = (info.stx_mask & STATX_BTIME) != 0;
    out.createTime = out.hasCreateTime ? info.stx_btime.tv_sec : 0;
    out.modifyTime = info.stx_mtime.tv_sec;
    out.accessTime = info.stx_atime.tv_sec;
    out.modifyNs = info.stx_mtime.tv_sec * int64_t{1000000000} + info.stx_mtime.tv_nsec;
    out.changeNs = info.stx_ctime.tv_sec * int64_t{1000000000} + info.stx_ctime.tv_nsec;
}

static int StatFlags(const char* name) {
    return AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == 0 ? AT_EMPTY_PATH : 0);
}

static int StatAt(int dir_fd, const char* name, unsigned mask, EntryStat& out) {
    struct statx info {};
    if (statx(dir_fd, name, StatFlags(name), mask, &info) != 0) return errno;
    FromStatx(info, out);
    return 0;
}

// What the walk reads of every entry: enough to filter, to group by size, to tell hard
// links apart and to know whether a file changed since an earlier scan.
constexpr unsigned kWalkMask =
    STATX_TYPE | STATX_SIZE | STATX_INO | STATX_NLINK | STATX_MTIME | STATX_CTIME;
constexpr unsigned kFullMask = kWalkMask | STATX_ATIME | STATX_BTIME;

// One system call an entry, not a batch on an io_uring: the kernel hands every status
// read queued there to its worker threads, and that hand-over costs more than the calls
// it saves (a fifth of a first scan of /usr/share).
int WalkFolder::Stat(const char* name, EntryStat& out) const {
    if (fd_ < 0) return EBADF;
    return StatAt(fd_, name, kWalkMask, out);
}

int StatPath(const std::string& path, EntryStat& out) {
    size_t name = 0;
    const int dir = OpenParentAnyLength(path, name);
    if (dir < 0 && dir != AT_FDCWD) return -dir;
    const int error = StatAt(dir, path.c_str() + name, kFullMask, out);
    if (dir != AT_FDCWD) close(dir);
    return error;
}

bool WalkFolder::OnPseudoFileSystem() const {
    if (fd_ < 0) return false;
    const int fd = fd_;
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) return false;
    const auto magic = static_cast<unsigned long>(fs.f_type);
    for (unsigned long pseudo : kPseudoMagic) {
        if (magic == pseudo) return true;
    }
    constexpr unsigned long kTmpfsMagic = 0x01021994;
    if (magic == kTmpfsMagic) {
        struct stat info {};
        return fstat(fd, &info) == 0 && DeviceFolderDevice() != 0 &&
               info.st_dev == DeviceFolderDevice();
    }
    return false;
}

bool WalkFolder::IsMountRoot() const {
    if (fd_ < 0) return false;
    struct statx info {};
    if (statx(fd_, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &info) != 0) return false;
    if ((info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    struct statx parent {};
    if (statx(fd_, "..", AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &parent) != 0) return false;
    return parent.stx_dev_major != info.stx_dev_major ||
           parent.stx_dev_minor != info.stx_dev_minor || parent.stx_ino == info.stx_ino;
}

std::string UserTrashFolder() {
    // Read once, on the search thread, before any walk; nothing here sets the environment.
    if (const char* data = std::getenv("XDG_DATA_HOME");
        data != nullptr && data[0] == '/') {  // NOLINT(concurrency-mt-unsafe)
        std::string trash(data);
        // "/home/u/data/" names the same folder as "/home/u/data".
        while (trash.size() > 1 && trash.back() == '/') trash.pop_back();
        if (trash.back() != '/') trash.push_back('/');
        return trash + "Trash";
    }
    if (const char* home = std::getenv("HOME");
        home != nullptr && home[0] == '/') {  // NOLINT(concurrency-mt-unsafe)
        std::string trash(home);
        if (trash.back() != '/') trash.push_back('/');
        return trash + ".local/share/Trash";
    }
    return {};
}

}  // namespace merravine::platform
