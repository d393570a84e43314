#include "support/hostapi/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace libmarl {

namespace {

// One call per line: the stream's lock keeps lines of different threads apart.
void WriteLine(std::string line)
{
    if (line.empty() || line.back() != '\n')
        line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string Format(const char* format, std::va_list args)
{
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace

TLogger::TLogger() = default;
TLogger::TLogger(const TLogger&) {}
TLogger& TLogger::operator=(const TLogger&) { return *this; }
TLogger::~TLogger() = default;

void TLogger::write(const char* format, ...)
{
    if (format == nullptr)
        return;
    std::va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    _writeStr(text.c_str());
}

void TLogger::_write(const char* source, char* text)
{
    if (text == nullptr)
        return;
    if (source == nullptr) {
        WriteLine(text);
        return;
    }
    WriteLine(std::string(source) + ": " + text);
}

void TLogger::_writeStr(const char* text)
{
    if (text != nullptr)
        WriteLine(text);
}

}  // namespace libmarl
