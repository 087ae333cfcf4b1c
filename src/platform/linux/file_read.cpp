// ContentFile through open/read/pread/posix_fadvise. O_NONBLOCK keeps an open of a
// FIFO from waiting for a writer; O_NOATIME keeps the scan from touching access
// times where the kernel allows it (the file's owner or root).
#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/path_open.h"

namespace merravine::platform {

ContentFile::~ContentFile() {
    if (fd_ >= 0) {
        close(fd_);
        DescriptorReleased();
    }
}

int ContentFile::Open(const std::string& path) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = OpenAnyLength(path, flags | O_NOATIME);
    if (fd == -EPERM) fd = OpenAnyLength(path, flags);
    if (fd < 0) return -fd;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        DescriptorReleased();
        return error;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        DescriptorReleased();
        return EINVAL;
    }
    fd_ = fd;
    size_ = static_cast<uint64_t>(info.st_size);
    return 0;
}

void ContentFile::AdviseSequential() const {
    if (fd_ >= 0) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

long ContentFile::Read(void* buffer, size_t length) const {
    for (;;) {
        const ssize_t got = read(fd_, buffer, length);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -errno;
    }
}

long ContentFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
    for (;;) {
        const ssize_t got = pread(fd_, buffer, length, static_cast<off_t>(offset));
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -errno;
    }
}

uint64_t OpenFileLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
    return static_cast<uint64_t>(limit.rlim_cur);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace merravine::platform
