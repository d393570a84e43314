// The C runtime's file descriptors, under one name on every platform: the few calls that
// StdoutDiversion needs to point standard output elsewhere and back. Internal to src/support.
#pragma once

#include <cstdio>

namespace quillon::descriptors {

// The descriptor behind a stdio stream.
int Of(std::FILE* stream);
// The descriptor behind standard output; negative when there is none (a Windows program without
// a console).
int StandardOutput();
// A copy of fd, not inherited by programs started later (they must not hold the output open).
int Copy(int fd);
// The null device, opened for writing, not inherited either.
int OpenNullDevice();
extern const char* const kNullDeviceName;
// Points to at what from refers to; false on failure (errno says why).
bool Redirect(int from, int to);
void Close(int fd);
// A stdio stream that writes to fd and owns it.
std::FILE* OpenStream(int fd);
bool IsTerminal(int fd);
// The columns of the terminal fd writes to; 0 when it is none or does not say.
int TerminalColumns(int fd);

}  // namespace quillon::descriptors
