// Handing the free parts of the heap back to the system, so a phase that frees large
// tables does not leave the process's resident size at its earlier peak.
#pragma once

namespace merravine::platform {

/// Returns the heap's free pages to the system (they stay reserved, not resident).
void ReleaseFreeHeap();

}  // namespace merravine::platform
