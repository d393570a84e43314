#include "support/fs/Names.h"

#include <type_traits>

namespace quillon {

namespace {

template <typename Char>
bool IsPlainComponent(std::basic_string_view<Char> name)
{
    bool onlyDotsAndBlanks = true;
    for (const Char c : name) {
        // Unsigned, so that a narrow byte above 0x7F is not taken for a control character.
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        bool control = code < 0x20 || code == 0x7F;
        if constexpr (sizeof(Char) > 1)
            control = control ||
                      (code >= 0x80 && code <= 0x9F);  // narrow, these bytes start double-byte characters
        if (control || IsNameSeparator(c) || c == Char(':'))
            return false;
        if (c != Char('.') && c != Char(' '))
            onlyDotsAndBlanks = false;
    }
    return !name.empty() && !onlyDotsAndBlanks;
}

}  // namespace

bool IsPlainPathComponent(std::string_view name) { return IsPlainComponent(name); }
bool IsPlainPathComponent(std::wstring_view name) { return IsPlainComponent(name); }

}  // namespace quillon
