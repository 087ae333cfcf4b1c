// Opening by long paths piece by piece, and the wake-up of openers that found the
// process out of file descriptors.
#include "platform/path_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "platform/file_read.h"

namespace merravine::platform {
namespace {

// Pieces stay well below PATH_MAX, which counts the terminating zero.
constexpr size_t kPiece = PATH_MAX - 256;

struct DescriptorWait {
    std::mutex mutex;
    std::condition_variable released;
    std::atomic<int> waiting{0};
};

DescriptorWait& Waiters() {
    static DescriptorWait wait;
    return wait;
}

// Opens every piece of path[0, end) as a folder (O_PATH); the descriptor or minus errno.
int OpenFolders(const std::string& path, size_t end) {
    int dir = AT_FDCWD;
    size_t at = 0;
    while (at < end) {
        size_t cut = end;
        if (end - at > kPiece) {
            cut = path.rfind('/', at + kPiece);
            if (cut == std::string::npos || cut <= at) cut = at + kPiece;  // never: names are short
        }
        std::string piece(path, at, cut - at);
        if (piece.empty()) piece.push_back('/');
        const int next = openat(dir, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int error = errno;
        if (dir != AT_FDCWD) close(dir);
        if (next < 0) return -error;
        dir = next;
        at = cut;
        while (at < end && path[at] == '/') ++at;
    }
    return dir;
}

}  // namespace

int OpenParentAnyLength(const std::string& path, size_t& nameOffset) {
    nameOffset = 0;
    if (path.size() < kPiece) return AT_FDCWD;
    size_t slash = path.size();
    while (slash > 0 && path[slash - 1] == '/') --slash;  // a folder text may end in "/"
    slash = path.rfind('/', slash == 0 ? 0 : slash - 1);
    if (slash == std::string::npos) return AT_FDCWD;
    nameOffset = slash + 1;
    return OpenFolders(path, slash == 0 ? 1 : slash);
}

int OpenAnyLength(const std::string& path, int flags) {
    size_t name = 0;
    const int dir = OpenParentAnyLength(path, name);
    if (dir < 0 && dir != AT_FDCWD) return dir;
    const int fd = openat(dir, path.c_str() + name, flags);
    const int error = errno;
    if (dir != AT_FDCWD) close(dir);
    return fd >= 0 ? fd : -error;
}

void DescriptorReleased() {
    DescriptorWait& wait = Waiters();
    if (wait.waiting.load(std::memory_order_relaxed) == 0) return;
    { std::lock_guard lock(wait.mutex); }
    wait.released.notify_all();
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

void WaitForDescriptor() {
    // Descriptors held elsewhere in the process (or, for ENFILE, in the system) are
    // released without a word to us, so the wait is also bounded.
    DescriptorWait& wait = Waiters();
    std::unique_lock lock(wait.mutex);
    wait.waiting.fetch_add(1);
    wait.released.wait_for(lock, std::chrono::milliseconds(20));
    wait.waiting.fetch_sub(1);
}

}  // namespace merravine::platform
