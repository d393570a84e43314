// Reading a package's description file "DeviceSet.DST": lines of text whose first line is either
// the marker of the newer layout or the device serial number itself. Pure rules with no state: the
// command-line tool reads packages by them too, and must see in them what the library sees.
#pragma once

#include <cstddef>
#include <cstdio>
#include <istream>
#include <string>
#include <string_view>

namespace quillon {

inline constexpr const char* kDescriptionFileName = "DeviceSet.DST";
inline constexpr const wchar_t* kDescriptionFileNameWide = L"DeviceSet.DST";
// The package check's report, written beside the description file when a piece is missing.
inline constexpr const char* kCheckReportFileName = "CheckSetInfo.TXT";

// The first line of the newer layout; the device serial number follows on the next line.
inline constexpr std::string_view kDescriptionMarker = "Use Orbisto above v6.3.4";

// No serial number comes near this; a longer line is cut here, which keeps a damaged file from
// filling memory and cannot make a missing file look present.
inline constexpr std::size_t kMaxDescriptionLine = 64 * 1024;

// The next line of the file opened in binary mode, read as text on every platform: without its
// line feed, and without a carriage return just before it. Empty at the end of the file and when
// file is null. The stream's form reads the same way, from a stream opened in binary mode.
std::string ReadTextLine(std::FILE* file);
std::string ReadTextLine(std::istream& in);

// Reads the device serial number from the start of the file: line 2 when line 1 is exactly the
// marker (same bytes, case-sensitive, nothing trimmed), line 1 otherwise. The serial is the whole
// line as read; empty when it is missing or file is null.
std::string ReadDeviceSerial(std::FILE* file);
std::string ReadDeviceSerial(std::istream& in);

}  // namespace quillon
