#include "support/hostapi/Timer.h"

#include <thread>

namespace libmarl {

TTimer::TTimer() : origin_(std::chrono::steady_clock::now()) {}
TTimer::TTimer(const TTimer& other) = default;
TTimer& TTimer::operator=(const TTimer& other) = default;
TTimer::~TTimer() = default;

void TTimer::sleep(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

double TTimer::ticks() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin_).count();
}

double TTimer::restart() { return ticks(); }

void TTimer::reset() { origin_ = std::chrono::steady_clock::now(); }

}  // namespace libmarl
