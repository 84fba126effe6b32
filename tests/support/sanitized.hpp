// Whether this test program runs under a sanitizer (AddressSanitizer or
// ThreadSanitizer). Tests that repeat a race many times to catch it use
// fewer repetitions there: the sanitizers look for memory and threading
// faults, which a few rounds show as well as many, and every process they
// start is several times slower.
#pragma once

namespace qelkit::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// `n` repetitions normally, `sanitized` under a sanitizer.
inline constexpr int repetitions(int n, int sanitized) { return kSanitized ? sanitized : n; }

}  // namespace qelkit::testing
