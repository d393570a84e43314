// File-name patterns of the Windows kind, matched the same way on every platform.
#pragma once

#include <string_view>

namespace quillon {

// True when name matches pattern: "*" stands for any run of characters (none included), "?" for
// exactly one, and every other character for itself, ASCII letters in either case. An empty
// pattern, "*" and "*.*" match every name, "*.*" also one without a dot, as Windows has it.
// Takes time proportional to the product of the lengths at worst, whatever the pattern.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace quillon
