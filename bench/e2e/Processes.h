// The programs the benchmark runs beside itself: the TFTP server and client, the quillon tool and
// the device program. POSIX only, as is the whole end-to-end benchmark.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quillon::bench {

struct Finished {
    int exitCode = -1;        // -1 when killed by a signal or never started
    long maxRssKiB = 0;       // the child's own peak resident set, from wait4
    std::string output;       // its standard output, when captured
};

class Child {
public:
    // Starts argv[0] (looked up on PATH) with standard output captured (capture) or discarded, and
    // standard error discarded unless keepErrors.
    Child(const std::vector<std::string>& argv, bool capture, bool keepErrors = false);
    ~Child();  // ends a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    // Whether it has started and not ended yet.
    bool Running();
    // Waits for the child to end by itself.
    Finished Wait();
    // Asks the child to end (SIGTERM), then waits.
    Finished Stop();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// Runs argv to the end.
Finished Run(const std::vector<std::string>& argv, bool capture, bool keepErrors = false);

// argv run in a network namespace of its own with nothing but loopback, when the system allows it
// (unshare -rn), so that port 8234 is free there whoever holds it outside; argv as it is otherwise.
std::vector<std::string> Isolated(const std::vector<std::string>& argv);

// A UDP or TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort(bool udp);

// Whether a TCP listener could bind port on every interface now (with SO_REUSEADDR, as the
// library's listener does).
bool TcpPortFree(int port);

// The name of the user this process runs as.
std::string UserName();
bool RunningAsRoot();

}  // namespace quillon::bench
