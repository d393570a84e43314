#include "archive/EntryName.h"

#include <cstdio>

#include "support/fs/Paths.h"

namespace quillon {

std::string EntryNameProblem(std::string_view name)
{
    if (name.empty())
        return "the name is empty";
    if (name.size() > kMaxEntryNameLength)
        return "the name is longer than " + std::to_string(kMaxEntryNameLength) + " bytes";
    if (name.find('\0') != std::string_view::npos)
        return "the name holds a zero byte";
    if (IsNameSeparator(name.front()))
        return "the name is absolute";
    if (name.find(':') != std::string_view::npos)
        return "the name holds a drive or stream separator ':'";
    if (IsNameSeparator(name.back()))
        return "the name is a folder, not a file";
    for (const std::string_view part : SplitRelativePath(name)) {
        if (part.empty())
            return "the name has an empty folder part";
        if (part.find_first_not_of(". ") == std::string_view::npos)
            return "the name has a part made of dots and blanks only";
        if (IsReservedDeviceName(part))
            return "the name has a part that Windows takes for another (a device, or one ending in a dot or "
                   "blank)";
        if (!IsPlainPathComponent(part))
            return "the name holds a control character";
    }
    return {};
}

std::string QuoteEntryName(std::string_view name)
{
    std::string quoted = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

}  // namespace quillon
