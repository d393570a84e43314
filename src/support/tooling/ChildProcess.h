// A program started by this one: the tools' tests run the command-line tool and the device
// simulator as their users do, on every platform the library builds for, and the end-to-end
// benchmark runs them, a TFTP server and its client.
//
// The child's standard input is the null device and its standard output a pipe that this object
// reads as it comes, or the null device when nobody reads it. Its standard error goes to a second
// pipe, to a file, to a pseudo-terminal (where the platform has them), for programs that behave
// differently on a terminal, or to this process's own standard error.
//
// One thread uses an object at a time. Each open stream and the wait for the child's end have a
// thread of their own, so no read blocks the caller beyond the deadline it gave.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

// Where a child's standard error goes.
enum class ChildErrorStream {
    Pipe,      // read here, like standard output
    File,      // written to the options' errorFile, created or emptied
    Terminal,  // a pseudo-terminal's slave, read here at the master (see TerminalSupported)
    Shared,    // this process's own standard error, where the child's messages show as they come
};

struct ChildProcessOptions {
    ChildErrorStream errors = ChildErrorStream::Pipe;
    std::filesystem::path errorFile{};
    // False sends standard output to the null device: a child that writes much for a long time
    // then fills no memory here, and costs no reading.
    bool readOutput = true;
    // How long destruction waits for a child it asked to stop before it kills it.
    std::chrono::milliseconds destroyGrace = std::chrono::seconds(10);
    // The width the pseudo-terminal of ErrorStream::Terminal reports, for a program that fits its
    // lines to it; 0 leaves the system's (none).
    unsigned short terminalColumns = 0;
};

class ChildProcess {
public:
    using ErrorStream = ChildErrorStream;
    using Options = ChildProcessOptions;

    // Whether a child's standard error can be a pseudo-terminal on this platform.
    static bool TerminalSupported();

    // The program this process runs, to start another copy of it; empty when the system does not
    // say.
    static std::filesystem::path CurrentProgram();

    // Starts argv[0] with the arguments that follow; check started(). A name without a folder in
    // it is looked up as a shell would, on PATH.
    explicit ChildProcess(const std::vector<std::string>& argv, Options options = {});
    // A child still running is stopped as Stop does, with the options' destroyGrace.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // why it did not start

    // The next line of standard output without its line end; nullopt when none is complete by the
    // deadline, or when the output has ended (a last line without a line end is given first).
    std::optional<std::string> ReadLine(std::chrono::milliseconds deadline);

    // Waits up to limit for the child to end, then for its streams to be read to their end; its
    // exit code (-1 when a signal ended it), or nullopt while it still runs.
    std::optional<int> Wait(std::chrono::milliseconds limit);

    // Whether it still runs.
    bool Running();

    // The most memory the child held at once (its peak resident set, its peak working set on
    // Windows) in KiB, once it has ended; 0 before, and where the system keeps no count of an
    // ended process (Wine).
    std::size_t PeakMemoryKiB();

    // Asks the child to stop (SIGTERM; Ctrl+Break on Windows), kills it when it has not ended
    // after grace, and returns its exit code as Wait does.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

    // Ends the child at once; Wait then reports -1.
    void Kill();

    // What the child wrote to standard output and error so far that ReadLine has not taken.
    std::string TakeOutput();
    std::string TakeErrors();

    struct Platform;  // the platform's handles, in src/support/<platform>/
    struct PlatformDeleter {
        void operator()(Platform* platform) const;
    };

private:
    void Pump(int stream);
    void AwaitEnd();
    void FinishStreams(std::unique_lock<std::mutex>& lock);

    std::unique_ptr<Platform, PlatformDeleter> platform_;
    std::string error_;
    std::chrono::milliseconds destroyGrace_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::string errors_;
    bool open_[2] = {false, false};  // standard output, standard error: still being read
    std::atomic<bool> abandon_{false};
    bool ended_ = false;
    int exitCode_ = -1;
    std::size_t peakMemoryKiB_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace quillon
