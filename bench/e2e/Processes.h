// The programs the benchmark runs beside itself (the TFTP server and client, the quillon tool and
// the device program, gnuplot), started as ChildProcess starts any program, and what it needs of
// the machine around them. POSIX only, as is the whole end-to-end benchmark.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/tooling/ChildProcess.h"

namespace quillon::bench {

// How a child's streams go: standard output read (capture) or discarded, standard error discarded
// unless keepErrors, when it shows among the benchmark's own messages.
ChildProcess::Options ChildStreams(bool capture, bool keepErrors = false);

struct Finished {
    int exitCode = -1;          // -1 when killed by a signal or never started
    std::size_t maxRssKiB = 0;  // the child's own peak resident set
    std::string output;         // its standard output, when captured
};

// Runs argv (argv[0] looked up on PATH) to its end, however long it takes.
Finished Run(const std::vector<std::string>& argv, bool capture, bool keepErrors = false);

// argv run in a network namespace of its own with nothing but loopback, when the system allows it,
// so that port 8234 is free there whoever holds it outside; argv as it is otherwise. Root needs no
// user namespace for it (unshare -n), and without one in.tftpd can still drop its privileges, so
// TFTP runs there too; anyone else gets one (unshare -rn).
std::vector<std::string> Isolated(const std::vector<std::string>& argv);

// A UDP or TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort(bool udp);

// Whether a TCP listener could bind port on every interface now (with SO_REUSEADDR, as the
// library's listener does).
bool TcpPortFree(int port);

// Where the two ends of a transfer run. A round trip over loopback costs the work of its two ends
// and the wake-up of whichever end waits; on a virtual machine, waking the other processor costs
// tens of microseconds and depends on where the scheduler has put the threads, so figures taken
// with the threads free to move swing tenfold from run to run.
enum class Placement {
    Split,  // the host's side on one processor, the device's side on another: every wake-up
            // crosses, as between a host and a device on hardware of its own
    One,    // both sides on one processor: a round trip costs only the work of its two ends and two
            // thread switches, so the figures show what each side spends per block
    Free,   // wherever the scheduler puts them
};

// The processor of each side, -1 for any.
struct Processors {
    int host = -1;
    int device = -1;
};

// Split needs two processors; where there is one, it is One.
Processors ProcessorsFor(Placement placement);
const char* PlacementName(Placement placement);
bool ParsePlacement(const std::string& text, Placement& placement);

// The calling thread, and every thread and process it starts from now on, runs on `processor`
// (-1: anywhere). False when the system refuses.
bool RunThisThreadOn(int processor);

// For its lifetime, the calling thread runs on `processor`, then where it ran before: what it starts
// meanwhile stays there.
class RunningOn {
public:
    explicit RunningOn(int processor);
    ~RunningOn();
    RunningOn(const RunningOn&) = delete;
    RunningOn& operator=(const RunningOn&) = delete;

private:
    std::vector<int> before_;
};

// The name of the user this process runs as.
std::string UserName();
bool RunningAsRoot();

}  // namespace quillon::bench
