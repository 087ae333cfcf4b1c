// A file system that hangs: two files of one size whose reads never answer, as a
// network share that has gone away does. Mounted through FUSE for the test that the
// program still ends when a worker is stuck in such a read.
//   hung_fs MOUNTPOINT MARKER   (runs in the foreground until killed; creates the file
//   MARKER when the first read arrives, so a test knows a reader is stuck)
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char* marker = nullptr;

constexpr off_t kFileSize = 4096;

bool IsFile(const char* path) {
    return std::strcmp(path, "/one.bin") == 0 || std::strcmp(path, "/two.bin") == 0;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (!IsFile(path)) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = kFileSize;
    st->st_ino = path[1] == 'o' ? 2 : 3;
    return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "one.bin", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "two.bin", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    if (!IsFile(path)) return -ENOENT;
    info->direct_io = 1;  // every read reaches Read(), none is served from the page cache
    return 0;
}

// The read that never answers.
int Read(const char*, char*, size_t, off_t, fuse_file_info*) {
    const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    marker = argv[2];
    fuse_operations operations{};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    // Foreground, one thread; the mount point is the one argument.
    char* fuse_argv[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"), argv[1],
                         nullptr};
    return fuse_main(4, fuse_argv, &operations, nullptr);
}
