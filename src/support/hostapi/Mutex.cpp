#include "support/hostapi/Mutex.h"

namespace libmarl {

TMutex::TMutex() = default;
TMutex::~TMutex() = default;

void TMutex::lock() { mutex_.lock(); }
void TMutex::unlock() { mutex_.unlock(); }
bool TMutex::try_lock() { return mutex_.try_lock(); }

}  // namespace libmarl
