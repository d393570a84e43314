#include "support/fs/Wildcard.h"

namespace quillon {

namespace {

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name)
{
    if (pattern.empty() || pattern == "*" || pattern == "*.*")
        return true;

    // Greedy with one point to return to: a later "*" makes every earlier choice final, so nothing
    // ever backtracks further than the last star.
    constexpr std::size_t kNone = std::string_view::npos;
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = kNone;  // the last "*" seen in the pattern
    std::size_t resume = 0;    // where in name that star's run ends for now
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (star != kNone) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

}  // namespace quillon
