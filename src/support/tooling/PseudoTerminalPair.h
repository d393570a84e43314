// A pseudo-terminal pair: one program opens the slave path as if it were a serial port, and the
// owner of this object is the far end of that line on the master side. The slave is put into raw
// mode at once, so bytes cross the line untouched from the first open on.
//
// The master side's reads and writes keep their own deadlines. One thread reads at a time; a write
// may come from another thread. closeMaster must not race a read or a write.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

class PseudoTerminalPair {
public:
    // Whether this platform has pseudo-terminals at all.
    static bool Supported();

    // What happens to the slave between the opens of the program that uses it.
    enum class Slave {
        // Kept open here as well: the line keeps its settings and the master never sees a hang-up,
        // so bytes written to the master wait for the next opener.
        Held,
        // Left to the program alone: while nobody has the slave open, readSome reports a hang-up,
        // which is how the master side tells that the program has let go of the port.
        Released,
    };

    explicit PseudoTerminalPair(Slave slave = Slave::Held);  // opens the pair; check ok()
    ~PseudoTerminalPair();

    PseudoTerminalPair(const PseudoTerminalPair&) = delete;
    PseudoTerminalPair& operator=(const PseudoTerminalPair&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // why the pair could not be set up

    // The path a program opens as its serial port.
    const std::string& slavePath() const { return slavePath_; }

    // Writes every byte to the master. False on an error, or when the line does not take the bytes
    // within limit (nobody drains the slave side).
    bool write(std::string_view bytes, std::chrono::milliseconds limit = std::chrono::seconds(5));

    enum class ReadStatus {
        Data,    // bytes came
        Quiet,   // nothing within the time-out
        HungUp,  // nobody has the slave open (only with Slave::Released)
        Closed,  // the master is closed, or failed
    };
    struct ReadResult {
        ReadStatus status = ReadStatus::Quiet;
        std::string bytes;
    };
    // Waits up to timeout for bytes at the master and returns those there, at most `most`.
    ReadResult readSome(std::size_t most, std::chrono::milliseconds timeout);

    // Whether some program has the slave open now (always, with Slave::Held). Bytes written to
    // the master while nobody has it wait for the next program that opens it.
    bool slaveInUse() const;

    // Reads until count bytes have come or the deadline has passed, and returns what came.
    std::string read(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Whatever bytes are waiting at the master now, without waiting for more.
    std::string drain();

    // Puts the slave back into a terminal's cooked mode (echo, line editing, CR/NL mapping, flow
    // control characters), as a port may be left by the program that used it last. Needs a held
    // slave.
    bool makeSlaveCooked();

    // Closes the master: the slave side is hung up, as when a device is unplugged.
    void closeMaster();
    bool masterOpen() const;

private:
    // Where the line is served from elsewhere (under Wine, by a Linux program), the link to it.
    struct Relay;
    std::unique_ptr<Relay> relay_;

    int master_ = -1;
    int slave_ = -1;  // with Slave::Held
    std::string slavePath_;
    std::string error_;
};

}  // namespace quillon
