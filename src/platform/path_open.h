// Opening by paths of any length, and waiting for a file descriptor when the process
// has none left. Used inside the platform folder only.
//
// A path of PATH_MAX bytes or more cannot be handed to the kernel in one call: it is
// opened in pieces, each piece below PATH_MAX and cut at a "/", every piece but the
// last opened as a folder relative to the one before. Components inside one piece
// resolve as in a single open (the same as for a short path).
#pragma once

#include <string>

namespace merravine::platform {

/// open(2) of `path` with `flags`, whatever its length. Returns the descriptor, or
/// minus the errno.
int OpenAnyLength(const std::string& path, int flags);

/// The folder that holds the last component of `path`, opened with O_PATH, and the
/// offset where that component begins. Returns the descriptor or minus the errno;
/// AT_FDCWD when the path is short enough to be used whole (then the offset is 0).
int OpenParentAnyLength(const std::string& path, size_t& nameOffset);

/// Tells a waiting opener that a descriptor of this process was closed.
void DescriptorReleased();

}  // namespace merravine::platform
