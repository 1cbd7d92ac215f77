#pragma once
// The bounds a test measures (time, memory) hold for a plain build. Under a sanitizer the program
// runs several times slower and its memory includes the sanitizer's shadow: times are scaled and
// memory bounds are not checked. QUARNEL_SANITIZED is set by the build with QUARNEL_SANITIZE.

namespace testsupport {

#ifdef QUARNEL_SANITIZED
inline constexpr bool kSanitized = true;
inline constexpr double kSlowdown = 10.0;
#else
inline constexpr bool kSanitized = false;
inline constexpr double kSlowdown = 1.0;
#endif

} // namespace testsupport
