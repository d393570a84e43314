#include "support/hostapi/Math.h"

#include <climits>
#include <cmath>

namespace libmarl {

TMath::TMath() = default;
TMath::TMath(const TMath&) {}
TMath::TMath(TMath&&) {}
TMath& TMath::operator=(const TMath&) { return *this; }
TMath& TMath::operator=(TMath&&) { return *this; }
TMath::~TMath() = default;

int TMath::floatToInt(const double& x)
{
    if (std::isnan(x))
        return 0;
    // Both limits are exact in a double; anything that truncates into the range converts exactly.
    if (x >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (x <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(x);
}

int TMath::floatToIntRound(const double& x) { return floatToInt(x + 0.5); }

std::vector<float> TMath::hamming(unsigned int n)
{
    std::vector<float> window(n, 0.0f);
    if (n < 2)
        return window;
    // Single precision throughout, with 2 pi rounded to float and the product formed before the
    // division: the order of the operations shows in the last bits, and callers compare them.
    constexpr float kTwoPi = 6.2831855f;
    const float last = static_cast<float>(n - 1);
    for (unsigned int i = 0; i < n; ++i)
        window[i] = 0.54f - 0.46f * std::cos(static_cast<float>(i) * kTwoPi / last);
    return window;
}

}  // namespace libmarl
