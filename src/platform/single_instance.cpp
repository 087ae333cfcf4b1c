// flock-based single-instance flag. The descriptor is close-on-exec (a program we start,
// such as a file manager, must not keep the flag alive after we end) and is never closed:
// the kernel drops the lock when the process ends, however it ends.
#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace merravine::platform {

std::filesystem::path InstanceFlagPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / name;
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec) temp = "/tmp";
    return temp / (name + "-" + std::to_string(getuid()));
}

bool TakeInstanceFlag(const std::filesystem::path& file) {
    // O_NOFOLLOW: in a shared temp folder another user's symbolic link must not redirect us.
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return true;
    int locked = -1;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) return true;
    const bool held_elsewhere = errno == EWOULDBLOCK;
    close(fd);
    return !held_elsewhere;
}

}  // namespace merravine::platform
