// Handing the free parts of the heap back to the system, so a phase that frees large
// tables does not leave the process's resident size at its earlier peak.
#pragma once

namespace merravine::platform {

/// Returns the heap's free pages to the system (they stay reserved, not resident).
void ReleaseFreeHeap();

/// Has every thread allocate from one heap. A search's tables are filled by its walk
/// and its hash workers alike; with a heap per thread, what one thread freed is not
/// reused by another, and the result records of a large search came on top of the
/// pages the workers' heaps still held. Called once at start, before threads exist.
void UseOneHeap();

}  // namespace merravine::platform
