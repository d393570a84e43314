// Ctrl-C and a termination request, turned into a flag that a program polls.
//
// A tool in the middle of a transfer has begun things that must not outlive it: a temporary
// archive, a half-written download, a folder it made for the download. Dying on the signal would
// leave them behind. While an InterruptWatch lives, the first Ctrl-C (SIGINT; the console's Ctrl-C
// on Windows) or termination request (SIGTERM; Ctrl-Break or the console closing on Windows) only
// raises the flag: the program notices it where it waits, unwinds, and removes what it began. A
// second one ends the process at once, with the status of the first, for whoever finds the
// clean-up too slow.
#pragma once

namespace quillon {

class InterruptWatch {
public:
    // Takes over both signals and clears the flag; one watch at a time.
    InterruptWatch();
    // Gives the signals back to what handled them before.
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;
};

// 0 while no interrupt came; otherwise the exit status a shell gives a process the signal ended,
// which is what the program should exit with: 130 after Ctrl-C, 143 after a termination request.
int InterruptStatus();

}  // namespace quillon
