#include "support/base/Diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace quillon::diag {

void Printf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void Line(std::string_view text)
{
    // One locked stdio call per line, so that lines from different threads never interleave.
    std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace quillon::diag
