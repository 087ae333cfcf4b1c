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

#if defined(__SANITIZE_THREAD__)
/// Built with ThreadSanitizer.
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

/// Built with a sanitizer whose allocator keeps freed memory, whose shadow takes terabytes
/// of address space, and under which parsing runs many times slower.
inline constexpr bool kSanitizer = kAddressSanitizer || kThreadSanitizer;

}  // namespace merravine::testing
