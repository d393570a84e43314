// Small numeric helpers.
#pragma once

#include <vector>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TMath {
public:
    TMath();
    TMath(const TMath& other);
    TMath(TMath&& other);
    // There is no state: assignment does nothing.
    TMath& operator=(const TMath& other);
    TMath& operator=(TMath&& other);
    ~TMath();

    // x truncated toward zero. Values beyond the range of int give the nearest end of it, and NaN
    // gives 0, rather than the undefined result of a plain conversion.
    static int floatToInt(const double& x);
    // x + 0.5 truncated toward zero, with the same limits: 2.5 gives 3, -2.5 gives -2, and -1.7
    // gives -1 (not -2).
    static int floatToIntRound(const double& x);
    // The Hamming window of n values, computed in single precision as
    // 0.54 - 0.46 cos(2 pi i / (n - 1)): 0.08 at both ends, 1.0 in the middle of an odd-length one.
    // n = 1 gives one 0, n = 0 an empty window.
    static std::vector<float> hamming(unsigned int n);
};

}  // namespace libmarl
