// A pseudo-terminal pair for tests: the library opens the slave path as if it were a serial port,
// and the test plays the device on the master side. The slave is put into raw mode and held open
// by the helper, so the line keeps its settings and the master stays readable between the
// library's opens. Closing the master is what an unplugged device looks like to the library.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::testing {

class PseudoTerminal {
public:
    // Whether this platform has pseudo-terminals; tests that need one skip when it has not.
    static bool Supported();

    PseudoTerminal();  // opens the pair; check ok()
    ~PseudoTerminal();

    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // why the pair could not be set up

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Writes every byte to the master. False on an error, or when the line does not take the
    // bytes within a few seconds.
    bool write(std::string_view bytes);
    // Writes the bytes in pieces of at most pieceSize, pausing for gap between pieces: the input
    // of a device whose frame crosses a slow line.
    bool writeInPieces(std::string_view bytes, std::size_t pieceSize, std::chrono::milliseconds gap);

    // Reads from the master until count bytes have come or the deadline has passed, and returns
    // what came.
    std::string read(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Whatever bytes are waiting at the master now, without waiting for more.
    std::string drain();

    // Puts the slave back into a terminal's cooked mode (echo, line editing, CR/NL mapping, flow
    // control characters), as a port may be left by the program that used it last.
    bool makeSlaveCooked();

    // Closes the master: the slave side is hung up, as when a device is unplugged.
    void closeMaster();
    bool masterOpen() const { return master_ >= 0; }

private:
    int master_ = -1;
    int slave_ = -1;  // held open so the slave keeps raw mode and the master never sees a hang-up
    std::string slavePath_;
    std::string error_;
};

}  // namespace quillon::testing
