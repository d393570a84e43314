// Keeps a program's own output apart from whatever else in the process writes to standard output.
//
// The library writes its diagnostic lines to standard output, where a tool that prints results
// for scripts cannot have them. While a diversion lives, the process's standard output (the file
// descriptor, so every writer is caught, stdio or not) points elsewhere, and the program writes
// its own output through Output(), a stream on a saved copy of the original standard output.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace quillon {

class StdoutDiversion {
public:
    enum class Destination {
        Discard,        // the null device
        StandardError,  // wherever standard error goes
    };

    // Saves a copy of standard output and points standard output at destination. Null, with the
    // reason in error, when a stream is closed or a descriptor cannot be had; standard output is
    // then as it was.
    static std::unique_ptr<StdoutDiversion> Start(Destination destination, std::string& error);

    // Flushes both streams and points standard output back at the saved copy.
    ~StdoutDiversion();

    StdoutDiversion(const StdoutDiversion&) = delete;
    StdoutDiversion& operator=(const StdoutDiversion&) = delete;

    // The original standard output.
    std::FILE* Output() const { return output_; }

private:
    explicit StdoutDiversion(std::FILE* output) : output_(output) {}

    std::FILE* output_;
};

// Whether the stream is attached to a terminal (a console on Windows), so that output meant for a
// person, such as a progress bar redrawn in place, can be left out when it goes to a file or pipe.
bool IsTerminal(std::FILE* stream);

// How many columns the terminal the stream writes to has, so that a line redrawn in place can keep
// within one row (a longer one wraps, and each redraw then scrolls); 0 when unknown.
int TerminalColumns(std::FILE* stream);

}  // namespace quillon
