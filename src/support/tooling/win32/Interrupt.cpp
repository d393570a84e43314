#include "support/tooling/Interrupt.h"

#include <atomic>
#include <cstdlib>
#include <windows.h>

namespace quillon {

namespace {

// The console runs the handler on a thread of its own; an atomic is all the two threads share.
std::atomic<int> status{0};

// The statuses a POSIX shell would give: SIGINT's for Ctrl-C, SIGTERM's for the rest.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const int mine = event == CTRL_C_EVENT ? 130 : 143;
    int expected = 0;
    if (!status.compare_exchange_strong(expected, mine))
        std::_Exit(expected);  // the second request: the clean-up is not waited for
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch()
{
    status.store(0);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

int InterruptStatus() { return status.load(); }

}  // namespace quillon
