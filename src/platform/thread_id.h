// The kernel's id of the calling thread, as shown in log lines.
#pragma once

#include <cstdint>

namespace merravine::platform {

/// The kernel thread id (gettid) of the calling thread.
int64_t CurrentThreadId();

}  // namespace merravine::platform
