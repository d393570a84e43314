#include "state/DescriptionFile.h"

namespace quillon {

namespace {

// nextByte gives the next byte as getc does: EOF at the end.
template <typename NextByte>
std::string ReadLineOf(NextByte nextByte)
{
    std::string line;
    int c = nextByte();
    for (; c != EOF && c != '\n'; c = nextByte()) {
        if (line.size() < kMaxDescriptionLine)
            line.push_back(static_cast<char>(c));
    }
    // Text mode on Windows drops a carriage return before a line feed; so does this, everywhere.
    if (c == '\n' && !line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

template <typename Source>
std::string ReadSerialOf(Source& source)
{
    std::string first = ReadTextLine(source);
    return first == kDescriptionMarker ? ReadTextLine(source) : first;
}

}  // namespace

std::string ReadTextLine(std::FILE* file)
{
    if (!file)
        return {};
    return ReadLineOf([file] { return std::getc(file); });
}

std::string ReadTextLine(std::istream& in)
{
    // A stream's end of file is EOF itself (std::char_traits<char>::eof()).
    return ReadLineOf([&in] { return in.get(); });
}

std::string ReadDeviceSerial(std::FILE* file) { return ReadSerialOf(file); }
std::string ReadDeviceSerial(std::istream& in) { return ReadSerialOf(in); }

}  // namespace quillon
