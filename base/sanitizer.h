// Whether this build runs under AddressSanitizer. Caches of freed memory
// turn themselves off then: memory handed back to a cache and reused would
// hide a use after free from the sanitizer.
#pragma once

namespace base {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool address_sanitizer = true;
#else
inline constexpr bool address_sanitizer = false;
#endif
#else
inline constexpr bool address_sanitizer = false;
#endif

}  // namespace base
