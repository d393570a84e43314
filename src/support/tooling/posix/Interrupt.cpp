#include "support/tooling/Interrupt.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace quillon {

namespace {

// What a signal handler may touch: a lock-free atomic. The one piece of process-wide state here,
// as signals are process-wide themselves.
std::atomic<int> status{0};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction previousInterrupt;
struct sigaction previousTerminate;

void OnSignal(int signal)
{
    const int mine = 128 + signal;
    int expected = 0;
    if (!status.compare_exchange_strong(expected, mine))
        _exit(expected);  // the second request: the clean-up is not waited for
}

}  // namespace

InterruptWatch::InterruptWatch()
{
    status.store(0);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Reads and waits elsewhere in the process (the library's link threads) go on as if nothing
    // came: the program looks at the flag where it polls anyway.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
}

InterruptWatch::~InterruptWatch()
{
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
}

int InterruptStatus() { return status.load(); }

}  // namespace quillon
