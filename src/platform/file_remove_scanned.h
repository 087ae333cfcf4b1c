// Removing a file that a scan found, but only while it is still that file: a plain
// file of the size it had when it was found. Anything else at that path (a folder,
// a link, a file of another size written there since) is left alone.
#pragma once

#include <cstdint>
#include <string>

namespace merravine::platform {

/// What became of one file that was to be removed or moved to the trash.
enum class RemoveOutcome {
    kRemoved,            ///< it was removed (or moved to the trash)
    kAlreadyGone,        ///< nothing was at the path any more
    kNotTheScannedFile,  ///< something else is at the path now; it was not touched
    kFailed,             ///< it is still there (the system refused)
};

/// Unlinks `full_path` when it is a plain file of `expected_size` bytes.
RemoveOutcome RemoveScannedFile(const std::string& full_path, uint64_t expected_size);

/// Checks without changing anything: kRemoved stands for "still the scanned file".
RemoveOutcome CheckScannedFile(const std::string& full_path, uint64_t expected_size);

}  // namespace merravine::platform
