// Elapsed time in milliseconds from a steady clock, which never jumps with the wall clock, and
// sleeping.
#pragma once

#include <chrono>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TTimer {
public:
    // The timer's origin is the moment of construction.
    TTimer();
    TTimer(const TTimer& other);
    // Copies the whole state: both timers then count from the same origin.
    TTimer& operator=(const TTimer& other);
    ~TTimer();

    // Blocks the calling thread for at least the given time.
    static void sleep(unsigned int milliseconds);

    // Milliseconds since the origin, with the clock's full resolution in the fraction.
    double ticks() const;
    // The same reading as ticks(); the origin stays where it is. Callers take a lap's start with it
    // and subtract: `const double lap = timer.restart(); ... timer.ticks() - lap`.
    double restart();
    // Moves the origin to now.
    void reset();

private:
    std::chrono::steady_clock::time_point origin_;
};

}  // namespace libmarl
