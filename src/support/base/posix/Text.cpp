#include "support/base/Text.h"

#include <iconv.h>

#include <cstring>
#include <vector>

namespace quillon {

namespace {

// There is no "chs" locale here to switch to, so the code page is named to iconv directly. Nothing
// process-wide changes, unlike the locale switch this replaces.
constexpr const char* kNarrowCodePage = "CP936";

}  // namespace

bool NarrowToWideChecked(const std::string& narrow, std::wstring& wide)
{
    wide.clear();
    const std::size_t length = std::strlen(narrow.c_str());
    if (length == 0)
        return true;

    iconv_t converter = iconv_open("WCHAR_T", kNarrowCodePage);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return false;

    // Every input byte yields at most one wide character.
    std::vector<wchar_t> buffer(length, L'\0');
    char* in = const_cast<char*>(narrow.c_str());
    std::size_t inLeft = length;
    char* out = reinterpret_cast<char*>(buffer.data());
    std::size_t outLeft = length * sizeof(wchar_t);
    const std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    wide.assign(buffer.data(), reinterpret_cast<wchar_t*>(out));
    return result != static_cast<std::size_t>(-1) && inLeft == 0;
}

}  // namespace quillon
