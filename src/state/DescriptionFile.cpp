#include "state/DescriptionFile.h"

namespace quillon {

std::string ReadTextLine(std::FILE* file)
{
    std::string line;
    if (!file)
        return line;
    int c = std::getc(file);
    for (; c != EOF && c != '\n'; c = std::getc(file)) {
        if (line.size() < kMaxDescriptionLine)
            line.push_back(static_cast<char>(c));
    }
    // Text mode on Windows drops a carriage return before a line feed; so does this, everywhere.
    if (c == '\n' && !line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string ReadDeviceSerial(std::FILE* file)
{
    std::string first = ReadTextLine(file);
    return first == kDescriptionMarker ? ReadTextLine(file) : first;
}

}  // namespace quillon
