// flock-based single-instance flag. The descriptor is close-on-exec (a program we start,
// such as a file manager, must not keep the flag alive after we end) and is never closed:
// the kernel drops the lock when the process ends, however it ends.
//
// The flag lives only in a folder that no other user can write: another user who could
// create or lock the file would make every start of ours say "already running".
#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/data_folder.h"

namespace merravine::platform {

namespace {

// A real folder (not a link) of this user that nobody else may write into.
bool PrivateFolder(const std::string& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 022) == 0;
}

// $XDG_CACHE_HOME/merravine (else ~/.cache/merravine), created with mode 0700.
std::string OwnCacheFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::string base = cache != nullptr && cache[0] == '/' ? std::string(cache) : std::string();
    if (base.empty()) {
        const std::string home = HomeFolder();
        if (home.empty() || home[0] != '/') return {};
        base = home + "/.cache";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    mkdir(base.c_str(), 0700);
    const std::string folder = base + "/merravine";
    mkdir(folder.c_str(), 0700);
    struct stat info {};
    if (lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
        (info.st_mode & 077) != 0) {
        chmod(folder.c_str(), 0700);
    }
    return PrivateFolder(folder) ? folder : std::string();
}

}  // namespace

std::filesystem::path InstanceFlagPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && PrivateFolder(runtime))
        return std::filesystem::path(runtime) / name;
    const std::string own = OwnCacheFolder();
    if (own.empty()) return {};
    return std::filesystem::path(own) / name;
}

bool TakeInstanceFlag(const std::filesystem::path& file) {
    if (file.empty()) return true;
    // O_NOFOLLOW: a symbolic link must never redirect the flag.
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
