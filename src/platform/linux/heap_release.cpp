// ReleaseFreeHeap through glibc's malloc_trim, which also gives back free pages in
// the middle of the heap, not only at its top.
#include "platform/heap_release.h"

#include <malloc.h>

namespace merravine::platform {

void ReleaseFreeHeap() { malloc_trim(0); }

void UseOneHeap() { mallopt(M_ARENA_MAX, 1); }

}  // namespace merravine::platform
