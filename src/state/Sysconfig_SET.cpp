#include "state/Sysconfig_SET.h"

#include <climits>
#include <utility>

namespace {

int PercentOf(int done, int total)
{
    if (total <= 0)
        return 100;  // nothing to move is all moved; never a division by zero
    // Divide first, then scale, both in single precision: the device tools round this way, and
    // hosts compare the figures with them (53 of 100 is 52, not 53).
    const float percent = static_cast<float>(done) / static_cast<float>(total) * 100.0f;
    // Out-of-range float-to-int conversion is undefined; done beyond total is not clamped to 100,
    // but it is kept within int.
    if (percent >= 2147483648.0f)
        return INT_MAX;
    if (percent <= -2147483648.0f)
        return INT_MIN;
    return static_cast<int>(percent);
}

}  // namespace

CSysconfig_SET* CSysconfig_SET::get()
{
    // Thread-safe initialisation of a local static: concurrent first callers wait for one
    // construction, and the destructor runs when the library is unloaded.
    static CSysconfig_SET instance;
    return &instance;
}

CSysconfig_SET::CSysconfig_SET() = default;
CSysconfig_SET::~CSysconfig_SET() = default;

bool CSysconfig_SET::GetCloseExe() { return CloseExe.load(); }
void CSysconfig_SET::SetCloseExe(bool close) { CloseExe.exchange(close); }

int CSysconfig_SET::GetSeriOrTcp() { return SeriOrTcp.load(); }

void CSysconfig_SET::SetSeriOrTcp(int link)
{
    // A compare-and-set, so that two watchers that see a device in the same instant cannot both
    // store: exactly one link is ever chosen.
    std::int32_t none = -1;
    SeriOrTcp.compare_exchange_strong(none, link);
}

void CSysconfig_SET::ForgetLink() { SeriOrTcp.store(-1); }

int CSysconfig_SET::GetReadRate() { return ReadRate.load(); }
void CSysconfig_SET::SetReadRate(int done, int total) { ReadRate.exchange(PercentOf(done, total)); }
int CSysconfig_SET::GetWriteRate() { return WriteRate.load(); }
void CSysconfig_SET::SetWriteRate(int done, int total) { WriteRate.exchange(PercentOf(done, total)); }

bool CSysconfig_SET::GetReadfinish() { return Readfinish.load(); }

void CSysconfig_SET::SetReadfinish(bool finished)
{
    Readfinish.exchange(finished);
    if (!Readfinish.load())
        ReadRate.exchange(0);
}

bool CSysconfig_SET::GetWritefinish() { return Writefinish.load(); }

void CSysconfig_SET::SetWritefinish(bool finished)
{
    Writefinish.exchange(finished);
    if (!Writefinish.load())
        WriteRate.exchange(0);
}

void CSysconfig_SET::SetDeviceOnline(std::function<void(int, int)> callback)
{
    DeviceOnlineCallback.store(std::move(callback));
}
