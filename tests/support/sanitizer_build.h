// Which sanitizer the tests were built with, for the few measures a sanitizer's own
// machinery changes (its allocator keeps freed memory; its checks need descriptors).
#pragma once

namespace merravine::testing {

#if defined(__SANITIZE_ADDRESS__)
/// Built with AddressSanitizer (the asan build also carries UndefinedBehaviorSanitizer).
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace merravine::testing
