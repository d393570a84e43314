#include "support/base/Text.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <clocale>
#include <cstring>
#include <string>

namespace quillon {

namespace {

// The code page that names from devices and packages are written in.
constexpr UINT kSimplifiedChinese = 936;

}  // namespace

bool NarrowToWideChecked(const std::string& narrow, std::wstring& wide)
{
    // The "chs" locale selects code page 936 for the C runtime. The switch is process-wide for its
    // moment, as it always was, so the previous locale is restored at once; where the runtime has
    // no such locale, the code page is the same one.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string saved = current ? current : "C";
    const UINT codePage =
        std::setlocale(LC_ALL, "chs") != nullptr ? ___lc_codepage_func() : kSimplifiedChinese;

    // One character at a time: the runtime's mbstowcs gives nothing at all for a string with a bad
    // or cut double-byte character, where the name before it is still worth having.
    const std::size_t length = std::strlen(narrow.c_str());
    wide.clear();
    wide.reserve(length);
    bool whole = true;
    for (std::size_t i = 0; i < length;) {
        const int width = ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(narrow[i])) ? 2 : 1;
        wchar_t character = L'\0';
        if (i + static_cast<std::size_t>(width) > length ||
            ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data() + i, width, &character, 1) !=
                1) {
            whole = false;
            break;
        }
        wide.push_back(character);
        i += static_cast<std::size_t>(width);
    }

    std::setlocale(LC_ALL, saved.c_str());
    return whole;
}

}  // namespace quillon
