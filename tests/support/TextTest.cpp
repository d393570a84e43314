#include "support/base/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using quillon::NarrowToWide;

TEST(NarrowToWide, MapsCodePage936ToTheSameWideCharacters)
{
    struct Case {
        const char* name;
        std::string narrow;
        std::wstring wide;
    };
    const std::vector<Case> cases = {
        {"empty", "", L""},
        {"ascii device name", "AB12XY345678", L"AB12XY345678"},
        {"blanks and punctuation kept", " a-b_c.d ", L" a-b_c.d "},
        {"double-byte characters", "\xD6\xD0\xCE\xC4", L"\x4E2D\x6587"},  // "zhong wen"
        {"mixed",
         "SN\xC9\xE8\xB1\xB8"
         "01",
         L"SN\x8BBE\x5907"
         L"01"},  // "she bei"
        {"euro sign of the code page", "\x80", L"\x20AC"},
        {"stops at an embedded zero", std::string("AB\0CD", 5), L"AB"},
        {"keeps the prefix before an invalid sequence",
         "AB\xD6\x7F"
         "CD",
         L"AB"},  // 0x7F trails nothing
        {"keeps the prefix before a cut double-byte character", "AB\xD6", L"AB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NarrowToWide(c.narrow), c.wide) << c.name;
}

}  // namespace
