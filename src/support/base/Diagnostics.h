// The library's diagnostic lines. They go to standard output, as the device engineers expect to
// read them, unless the host routes them elsewhere: a GUI or a service has no standard output to
// read, and wants the lines in its own log, at a level it chooses.
#pragma once

#include <functional>
#include <string_view>

namespace quillon::diag {

enum class Level { Error, Warning, Info, Debug };

// Receives one message, as written (a line end is dropped), on the thread that wrote it.
using Sink = std::function<void(Level level, std::string_view message)>;

// From now on, messages at levels up to mostDetailed go to sink instead of standard output and the
// rest nowhere; an empty sink goes back to standard output. Process-wide, as the messages are: they
// come from every thread of the library. Once this returns, the sink it replaced is no longer
// called. A sink must not call SetSink.
void SetSink(Sink sink, Level mostDetailed = Level::Debug);

// Writes the text with printf semantics, exactly as given: no line end is added. The protocol's
// traffic, at Level::Debug.
void Printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The same at a level of its own: what a host's log wants to show without the traffic.
void Log(Level level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Writes the text followed by a line end, at Level::Debug.
void Line(std::string_view text);

}  // namespace quillon::diag
