// What a name inside a settings archive may be. An archive from a device is untrusted: its entry
// names decide where files are written, so only plain relative file names below the unpacking
// folder are accepted. The packer applies the same rule, so that whatever it packs unpacks again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon {

// The unpacker reads a name into a buffer of 1024 bytes that must also hold its terminating zero.
inline constexpr std::size_t kMaxEntryNameLength = 1023;

// Why the name cannot be unpacked below a folder, or an empty string when it can. Both "/" and
// "\" separate folders (archives are made on Windows and elsewhere). Refused are: the empty name;
// names longer than kMaxEntryNameLength; a zero byte or another control character; absolute
// names (a leading separator, so also "\\server\share"); any ":" (a drive letter such as "C:",
// or a Windows stream name); an empty folder part or a trailing separator (a folder entry, not a
// file); a part made of dots and blanks only ("." and "..", and "..." or ".. ", which Windows
// reads as ".."); and a part that the platform reserves for a device.
std::string EntryNameProblem(std::string_view name);

// The name quoted for a message, with bytes outside printable ASCII written as \xNN.
std::string QuoteEntryName(std::string_view name);

}  // namespace quillon
