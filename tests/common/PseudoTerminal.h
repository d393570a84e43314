// A pseudo-terminal pair for tests: the library opens the slave path as if it were a serial port,
// and the test plays the device on the master side. The slave is held open by the pair, so the
// line keeps its raw mode and the master stays readable between the library's opens. Closing the
// master is what an unplugged device looks like to the library.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

#include "support/tooling/PseudoTerminalPair.h"

namespace quillon::testing {

class PseudoTerminal {
public:
    // Whether this platform has pseudo-terminals; tests that need one skip when it has not.
    static bool Supported() { return quillon::PseudoTerminalPair::Supported(); }

    PseudoTerminal() = default;  // opens the pair; check ok()

    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return line_.ok(); }
    const std::string& error() const { return line_.error(); }  // why the pair could not be set up
    const std::string& slavePath() const { return line_.slavePath(); }

    // Writes every byte to the master. False on an error, or when the line does not take the
    // bytes within a few seconds.
    bool write(std::string_view bytes) { return line_.write(bytes); }

    // Writes the bytes in pieces of at most pieceSize, pausing for gap between pieces: the input
    // of a device whose frame crosses a slow line.
    bool writeInPieces(std::string_view bytes, std::size_t pieceSize, std::chrono::milliseconds gap)
    {
        pieceSize = std::max<std::size_t>(pieceSize, 1);
        while (!bytes.empty()) {
            const std::size_t piece = std::min(pieceSize, bytes.size());
            if (!write(bytes.substr(0, piece)))
                return false;
            bytes.remove_prefix(piece);
            if (!bytes.empty())
                std::this_thread::sleep_for(gap);  // the gap is the input being produced, not a wait
        }
        return true;
    }

    // Reads from the master until count bytes have come or the deadline has passed, and returns
    // what came.
    std::string read(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5))
    {
        return line_.read(count, deadline);
    }
    // Whatever bytes are waiting at the master now, without waiting for more.
    std::string drain() { return line_.drain(); }

    // Puts the slave back into a terminal's cooked mode (echo, line editing, CR/NL mapping, flow
    // control characters), as a port may be left by the program that used it last.
    bool makeSlaveCooked() { return line_.makeSlaveCooked(); }

    // Closes the master: the slave side is hung up, as when a device is unplugged.
    void closeMaster() { line_.closeMaster(); }
    bool masterOpen() const { return line_.masterOpen(); }

    // The pair itself, for reads with a time-out.
    quillon::PseudoTerminalPair& line() { return line_; }

private:
    quillon::PseudoTerminalPair line_{quillon::PseudoTerminalPair::Slave::Held};
};

}  // namespace quillon::testing
