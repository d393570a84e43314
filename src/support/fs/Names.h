// What a name from a device, a package or an archive may be. Pure rules with no state, which the
// tools apply as well, to explain a refusal before the library makes it.
#pragma once

#include <string_view>

namespace quillon {

// True for the characters that separate folders in names from packages and archives: "/" and "\".
constexpr bool IsNameSeparator(char c) { return c == '/' || c == '\\'; }
constexpr bool IsNameSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// True when name can stand as one folder or file name of its own, so that joining it to a folder
// names something directly inside that folder: not empty, no "/" or "\", no ":" (drives, Windows
// streams), no control character, and not made of dots and blanks only ("." and "..", and what
// Windows reads as them). For names that come from a device or a package.
bool IsPlainPathComponent(std::string_view name);
bool IsPlainPathComponent(std::wstring_view name);

// True for a path component that Windows does not take as the name it says: one it reserves for a
// device rather than a file (CON, NUL, COM1 and the like, with or without an extension), or one
// ending in a dot or a blank, which it drops ("name." opens "name"). Never true elsewhere.
bool IsReservedDeviceName(std::string_view component);
bool IsReservedDeviceName(std::wstring_view component);

}  // namespace quillon
