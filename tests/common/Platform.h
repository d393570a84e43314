// The platform a test runs on, for the few tests that must skip there what it cannot do; the skip
// says why.
#pragma once

namespace quillon::testing {

#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

}  // namespace quillon::testing
