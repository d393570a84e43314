#include "support/Text.h"

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

namespace quillon {

std::wstring NarrowToWide(const std::string& narrow)
{
    // The "chs" locale selects code page 936 for the C runtime's conversion. The switch is
    // process-wide for its moment, so the previous locale is restored at once.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string saved = current ? current : "C";
    std::setlocale(LC_ALL, "chs");

    const std::size_t length = narrow.size();
    std::vector<wchar_t> buffer(length + 1, L'\0');
    std::mbstowcs(buffer.data(), narrow.c_str(), length + 1);  // errors leave the converted prefix
    buffer.back() = L'\0';

    std::setlocale(LC_ALL, saved.c_str());
    return std::wstring(buffer.data());
}

}  // namespace quillon
