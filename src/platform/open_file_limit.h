// The process's limit on open descriptors. The soft limit (often 1,024) is what a
// program gets by default; the hard limit is what it may ask for. A scan with many
// workers and a page server facing many connections both want the larger one.
#pragma once

#include <cstdint>

namespace merravine::platform {

/// Raises the soft limit on open descriptors to the hard limit; returns the soft limit
/// in force afterwards (0 when it cannot be read).
uint64_t RaiseOpenFileLimit();

}  // namespace merravine::platform
