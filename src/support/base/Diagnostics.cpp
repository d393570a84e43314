#include "support/base/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

namespace quillon::diag {

namespace {

// The route of every message. Writers hold it shared while they deliver, so that SetSink, which
// holds it alone, returns only once no message is on its way to the sink it replaces.
struct Route {
    std::shared_mutex mutex;
    Sink sink;
    Level mostDetailed = Level::Debug;
};

Route& TheRoute()
{
    // Never destroyed: the links' threads may still write a line while the process exits.
    static Route* const route = new Route;
    return *route;
}

// A message for the host's sink, as the sink takes it: without its line end, only at the levels
// the host asked for. The route's lock is held.
void ToSink(const Route& route, Level level, std::string_view message)
{
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.remove_suffix(1);
    if (level <= route.mostDetailed)
        route.sink(level, message);
}

void Deliver(Level level, const char* format, std::va_list args)
{
    Route& route = TheRoute();
    std::shared_lock lock(route.mutex);
    if (!route.sink) {
        std::vprintf(format, args);
        return;
    }
    if (level > route.mostDetailed)
        return;
    std::va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length <= 0)
        return;
    std::string message(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    ToSink(route, level, message);
}

}  // namespace

void SetSink(Sink sink, Level mostDetailed)
{
    Route& route = TheRoute();
    std::unique_lock lock(route.mutex);
    route.sink = std::move(sink);
    route.mostDetailed = mostDetailed;
}

void Printf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Deliver(Level::Debug, format, args);
    va_end(args);
}

void Log(Level level, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    Deliver(level, format, args);
    va_end(args);
}

void Line(std::string_view text)
{
    // As printf's "%.*s" would take it: up to its first NUL.
    text = text.substr(0, text.find('\0'));
    Route& route = TheRoute();
    std::shared_lock lock(route.mutex);
    if (route.sink) {
        ToSink(route, Level::Debug, text);
        return;
    }
    // Every frame writes a line or two, on its way to being answered: the text goes out as it is,
    // without a pass of printf's over it. One stdio call per line, so that lines from different
    // threads never interleave.
    constexpr std::size_t kShortLine = 256;
    if (text.size() < kShortLine) {
        char line[kShortLine];
        std::memcpy(line, text.data(), text.size());
        line[text.size()] = '\n';
        std::fwrite(line, 1, text.size() + 1, stdout);
        return;
    }
    const std::string line = std::string(text) + '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
}

}  // namespace quillon::diag
