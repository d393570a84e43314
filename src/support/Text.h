// Text conversions between the narrow strings the device and the packages use and wide paths.
#pragma once

#include <string>

namespace quillon {

// Widens narrow text written in the simplified-Chinese double-byte code page (936), the code page
// of the device's names and of package descriptions: single-byte characters and the code page's
// double-byte characters become the same wide characters on every platform. Conversion stops at
// the first NUL, at an invalid sequence or at a truncated double-byte character, and keeps what was
// converted before it; errors are not reported.
std::wstring NarrowToWide(const std::string& narrow);

}  // namespace quillon
