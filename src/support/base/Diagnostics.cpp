#include "support/base/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
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
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    route.sink(level, message);
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
    // One locked stdio call per line, so that lines from different threads never interleave.
    Printf("%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace quillon::diag
