#include "support/fs/Names.h"

#include <array>
#include <cctype>
#include <string>
#include <type_traits>

namespace quillon {

namespace {

template <typename Char>
bool IsReservedName(std::basic_string_view<Char> component)
{
    // Windows drops a trailing dot or blank: such a name opens another one.
    if (!component.empty() && (component.back() == Char('.') || component.back() == Char(' ')))
        return true;
    // The name counts up to its first dot, without trailing blanks: "nul.txt" and "COM1 .log" are
    // devices as well. The devices' names are ASCII.
    std::basic_string_view<Char> base = component.substr(0, component.find(Char('.')));
    while (!base.empty() && base.back() == Char(' '))
        base.remove_suffix(1);
    std::string upper;
    for (const Char c : base) {
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        if (code > 0x7F)
            return false;
        upper.push_back(static_cast<char>(std::toupper(static_cast<int>(code))));
    }
    static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
    for (const auto name : kNames) {
        if (upper == name)
            return true;
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

}  // namespace

bool IsReservedDeviceName(std::string_view component) { return IsReservedName(component); }
bool IsReservedDeviceName(std::wstring_view component) { return IsReservedName(component); }

}  // namespace quillon
