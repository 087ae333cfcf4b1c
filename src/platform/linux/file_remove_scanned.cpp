#include "platform/file_remove_scanned.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace merravine::platform {

RemoveOutcome CheckScannedFile(const std::string& full_path, uint64_t expected_size) {
    struct stat info {};
    if (lstat(full_path.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? RemoveOutcome::kAlreadyGone
                                                   : RemoveOutcome::kFailed;
    }
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) != expected_size) {
        return RemoveOutcome::kNotTheScannedFile;
    }
    return RemoveOutcome::kRemoved;
}

RemoveOutcome RemoveScannedFile(const std::string& full_path, uint64_t expected_size) {
    const RemoveOutcome check = CheckScannedFile(full_path, expected_size);
    if (check != RemoveOutcome::kRemoved) return check;
    if (unlink(full_path.c_str()) == 0) return RemoveOutcome::kRemoved;
    // Someone else may have removed it between the check and the unlink.
    return errno == ENOENT ? RemoveOutcome::kAlreadyGone : RemoveOutcome::kFailed;
}

}  // namespace merravine::platform
