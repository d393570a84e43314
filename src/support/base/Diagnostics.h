// The library's diagnostic lines. They go to standard output, always, as the device engineers
// expect to read them; a host that wants them elsewhere redirects its standard output.
#pragma once

#include <string_view>

namespace quillon::diag {

// Writes the text with printf semantics, exactly as given: no line end is added.
void Printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes the text followed by a line end.
void Line(std::string_view text);

}  // namespace quillon::diag
