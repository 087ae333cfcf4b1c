// Handing the free parts of the heap back to the system, so a phase that frees large
// tables does not leave the process's resident size at its earlier peak.
#pragma once

#include <cstddef>

namespace merravine::platform {

/// Returns the heap's free pages to the system (they stay reserved, not resident).
void ReleaseFreeHeap();

/// Makes every heap block of at least `bytes` a mapping of its own, so a large table goes
/// back to the system as soon as it is freed, whichever thread made it (the C library
/// would otherwise raise that size by itself and keep such tables in its heaps).
void KeepLargeBlocksApart(size_t bytes);

}  // namespace merravine::platform
