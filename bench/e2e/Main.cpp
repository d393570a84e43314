// make bench: Quillon's uploads and downloads against the minimal device peer next to what a plain
// stop-and-wait loop does with the same blocks on this machine, against the simulated device next to
// TFTP, the serial line against its line rate, and the host's peak memory during a large upload; then
// the TCP transfers again with both sides on one processor. Tables on standard output, the same as
// CSV and a chart in the results folder.
//
//   quillon_e2e_bench [--results DIR] [--work DIR] [--repeats N] [--placement split|one|free]
//                     [--only tcp|tcp-one|memory|serial|scaling]
//
// The placement (Processes.h) says where the host's side and the device's side run; the default,
// split, gives each a processor of its own, as a device on hardware of its own has.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "Archives.h"
#include "PlainLoop.h"
#include "Processes.h"
#include "QuillonRuns.h"
#include "Report.h"
#include "Scaling.h"
#include "Tftp.h"
#include "protocol/DeviceLink.h"
#include "support/tooling/StdoutDiversion.h"

namespace fs = std::filesystem;
using namespace quillon::bench;

namespace {

constexpr std::uint64_t kTcpSizes[] = {1'000'000, 10'000'000, 50'000'000};
constexpr std::uint64_t kSerialSize = 100'000;
constexpr std::uint64_t kMemorySize = 100'000'000;
constexpr double kMemoryAllowanceMB = 30;
constexpr double kTcpVsLoop = 0.8;
constexpr double kSerialVsLine = 0.95;
constexpr char kSerialKind = 9;
constexpr char kMemoryKind = 10;

struct Settings {
    fs::path results = QUILLON_BENCH_RESULTS_DIR;
    fs::path work = QUILLON_BENCH_WORK_DIR;
    int repeats = 5;
    std::string only;  // tcp, memory or serial: that part alone, for working on it
    Placement placement = Placement::Split;
};

void Note(const std::string& line) { std::fprintf(stderr, "bench: %s\n", line.c_str()); }

fs::path ArchivePath(const Settings& settings, std::uint64_t bytes)
{
    return settings.work / ("noise-" + std::to_string(bytes) + ".zip");
}

template <typename Run>
std::vector<std::optional<double>> Repeat(int repeats, Run&& run)
{
    std::vector<std::optional<double>> runs;
    for (int i = 0; i < repeats; ++i)
        runs.push_back(run(i));
    return runs;
}

// ---- the library's parts, each in a process of its own ------------------------------------------
//
// The library keeps one link per process once a device shows up, and it listens on port 8234,
// which other programs on the machine may hold: each part runs in a child process, in a network
// namespace of its own where the system allows it. A child writes lines "KEY seconds..." (-1 for a
// failed run) to its result file.

using Results = std::map<std::string, std::vector<std::optional<double>>>;

void WriteResults(const fs::path& file, const Results& results)
{
    std::ofstream out(file);
    for (const auto& [key, runs] : results) {
        out << key;
        for (const auto& run : runs)
            out << ' ' << (run ? *run : -1.0);
        out << '\n';
    }
}

Results ReadResults(const fs::path& file)
{
    Results results;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        double value = 0;
        while (words >> value)
            results[key].push_back(value >= 0 ? std::optional<double>(value) : std::nullopt);
    }
    return results;
}

std::string Key(const std::string& direction, std::uint64_t bytes)
{
    return direction + "-" + std::to_string(bytes);
}

// TFTP's transfers of an archive, for a row's TFTP column; none without a server.
struct TftpRuns {
    TftpServer* server;
    const fs::path& folder;
    const fs::path& work;

    std::optional<double> Upload(const fs::path& archive, int repeat) const
    {
        const std::string name = "up-" + std::to_string(repeat) + ".zip";
        auto seconds = server->Upload(archive, name);
        if (seconds && !SameContent(folder / name, archive))
            seconds.reset();
        fs::remove(folder / name);
        return seconds;
    }
    std::optional<double> Download(const std::string& served, const fs::path& archive) const
    {
        const fs::path got = work / "tftp-download.zip";
        auto seconds = server->Download(served, got);
        if (seconds && !SameContent(got, archive))
            seconds.reset();
        fs::remove(got);
        return seconds;
    }
};

// Uploads then downloads each archive over TCP, each `repeats` times; a download counts only when
// it brought back the very archive. Against the peer the plain loop runs in turn with them, against
// the simulator TFTP does (where in.tftpd runs).
int TcpChild(const Settings& settings, QuillonRig::Device device)
{
    const bool peer = device == QuillonRig::Device::MinimalPeer;
    const std::string part = peer ? "tcp-peer" : "tcp";
    const Processors processors = ProcessorsFor(settings.placement);
    QuillonRig rig(QuillonRig::Link::Tcp, device, settings.work / part, processors.device);
    if (!rig.error().empty()) {
        std::fprintf(stderr, "bench: Quillon over TCP: %s\n", rig.error().c_str());
        return 1;
    }
    const fs::path tftpFolder = settings.work / part / "tftp";
    std::unique_ptr<TftpServer> tftpServer;
    if (!peer) {
        fs::create_directories(tftpFolder);
        fs::permissions(tftpFolder, fs::perms::all);
        const RunningOn deviceSide(processors.device);
        tftpServer = std::make_unique<TftpServer>(tftpFolder);
        if (!tftpServer->error().empty()) {
            Note("TFTP: " + tftpServer->error() + "; its column stays empty");
            tftpServer.reset();
        }
    }
    const TftpRuns tftp{tftpServer.get(), tftpFolder, settings.work};
    Results results;
    char kind = 1;
    for (const std::uint64_t bytes : kTcpSizes) {
        const fs::path source = ArchivePath(settings, bytes);
        Note(std::string("Quillon over TCP with the ") +
             (peer ? "minimal peer and the plain loop, " : "simulator, and TFTP, ") + SizeText(bytes));
        const std::string served = "served.zip";
        if (tftp.server)
            fs::copy_file(source, tftpFolder / served, fs::copy_options::overwrite_existing);
        // Each repeat runs every figure of the row in turn, so that a slow spell of the machine
        // falls on all of them rather than on one figure's repeats.
        for (int i = 0; i < settings.repeats; ++i) {
            if (peer)
                results[Key("loop", bytes)].push_back(PlainStopAndWaitSeconds(bytes, processors.device));
            results[Key("upload", bytes)].push_back(rig.Upload(source, kind));
            if (tftp.server)
                results[Key("tftp-upload", bytes)].push_back(tftp.Upload(source, i));
            const fs::path got = settings.work / "quillon-download.zip";
            auto seconds = rig.Download(got, kind, source);
            if (seconds && !SameContent(got, source))
                seconds.reset();
            fs::remove(got);
            results[Key("download", bytes)].push_back(seconds);
            if (tftp.server)
                results[Key("tftp-download", bytes)].push_back(tftp.Download(served, source));
        }
        ++kind;
    }
    WriteResults(settings.work / (part + "-results.txt"), results);
    return 0;
}

int SerialChild(const Settings& settings)
{
    QuillonRig rig(QuillonRig::Link::Serial, QuillonRig::Device::Simulator, settings.work / "serial",
                   ProcessorsFor(settings.placement).device);
    if (!rig.error().empty()) {
        std::fprintf(stderr, "bench: Quillon over serial: %s\n", rig.error().c_str());
        return 1;
    }
    const fs::path source = ArchivePath(settings, kSerialSize);
    Results results;
    results[Key("upload", kSerialSize)] =
        Repeat(settings.repeats, [&](int) { return rig.Upload(source, kSerialKind); });
    results[Key("download", kSerialSize)] = Repeat(settings.repeats, [&](int) {
        const fs::path got = settings.work / "serial-download.zip";
        auto seconds = rig.Download(got, kSerialKind, source);
        if (seconds && !SameContent(got, source))
            seconds.reset();
        return seconds;
    });
    WriteResults(settings.work / "serial-results.txt", results);
    return 0;
}

// The quillon tool uploads the large archive to a quillon-device process; the tool's own peak
// resident set, in MB.
int MemoryChild(const Settings& settings)
{
    for (int i = 0; i < 600 && !TcpPortFree(quillon::kDevicePort); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const fs::path state = settings.work / "memory-device-state";
    std::unique_ptr<quillon::ChildProcess> device;
    {
        const RunningOn deviceSide(ProcessorsFor(settings.placement).device);
        device = std::make_unique<quillon::ChildProcess>(
            std::vector<std::string>{QUILLON_DEVICE_PROGRAM, "--tcp",
                                     "127.0.0.1:" + std::to_string(quillon::kDevicePort), "--state",
                                     state.string()},
            ChildStreams(false));
    }
    const Finished host = Run({QUILLON_TOOL_PROGRAM, "upload", ArchivePath(settings, kMemorySize).string(),
                               "--kind", std::to_string(kMemoryKind), "--wait", "30", "--json"},
                              true);
    device->Stop();
    Results results;
    if (host.exitCode == 0)
        results["peak"] = {static_cast<double>(host.maxRssKiB) * 1024.0 / 1e6};
    else
        std::fprintf(stderr, "bench: memory: the upload failed: %s\n", host.output.c_str());
    WriteResults(settings.work / "memory-results.txt", results);
    return host.exitCode == 0 ? 0 : 1;
}

// Runs this program again as `part` in a child and reads what it found.
Results RunPart(const Settings& settings, const std::string& part)
{
    const fs::path file = settings.work / (part + "-results.txt");
    fs::remove(file);
    const std::string self = quillon::ChildProcess::CurrentProgram().string();
    const Finished child =
        Run(Isolated({self, "--part", part, "--work", settings.work.string(), "--repeats",
                      std::to_string(settings.repeats), "--placement", PlacementName(settings.placement)}),
            false, true);
    if (child.exitCode != 0)
        Note(part + ": the run failed");
    return ReadResults(file);
}

// ---- the parts of the run ----------------------------------------------------------------------

void TcpRows(const Settings& settings, std::vector<Row>& rows)
{
    Note("Quillon over TCP with the minimal device peer, and the plain loop (a process of its own)");
    Results peer = RunPart(settings, "tcp-peer");
    Note("Quillon over TCP with the simulator, and TFTP (a process of their own)");
    Results simulator = RunPart(settings, "tcp");
    for (const std::string direction : {"upload", "download"}) {
        for (const std::uint64_t bytes : kTcpSizes) {
            Row row;
            row.link = "tcp";
            row.direction = direction;
            row.bytes = bytes;
            row.repeats = settings.repeats;
            row.peer = Summarize(peer[Key(direction, bytes)]);
            row.simulator = Summarize(simulator[Key(direction, bytes)]);
            row.limit = Summarize(peer[Key("loop", bytes)]);
            row.tftp = Summarize(simulator[Key("tftp-" + direction, bytes)]);
            row.wantVsLimit = kTcpVsLoop;
            row.wantAtLeastTftp = true;
            rows.push_back(row);
        }
    }
}

void SerialRows(const Settings& settings, std::vector<Row>& rows)
{
    Note("Quillon over a 115200-baud pseudo-terminal, " + SizeText(kSerialSize) + " (a port search first)");
    Results results = RunPart(settings, "serial");
    for (const std::string direction : {"upload", "download"}) {
        Row row;
        row.link = "serial";
        row.direction = direction;
        row.bytes = kSerialSize;
        row.repeats = settings.repeats;
        row.simulator = Summarize(results[Key(direction, kSerialSize)]);
        const double bound = SerialLineBoundSeconds(kSerialSize, direction == "upload");
        row.limit = Spread{bound, bound, bound};
        row.wantVsLimit = kSerialVsLine;
        rows.push_back(row);
    }
}

void MemoryRow(const Settings& settings, std::vector<Row>& rows)
{
    Note("peak memory of the quillon tool uploading " + SizeText(kMemorySize) + " to quillon-device");
    Row row;
    row.link = "memory";
    row.direction = "upload";
    row.bytes = kMemorySize;
    row.repeats = 1;
    row.targetMB = static_cast<double>(kMemorySize) / 1e6 + kMemoryAllowanceMB;
    Results results = RunPart(settings, "memory");
    if (!results["peak"].empty())
        row.peakMB = results["peak"].front();
    rows.push_back(row);
}

void Chart(const Settings& settings, const fs::path& csv)
{
    const fs::path png = settings.results / "e2e.png";
    const Finished plot = Run({"gnuplot", "-e", "csv='" + csv.string() + "'; png='" + png.string() + "'",
                               QUILLON_BENCH_SOURCE_DIR "/chart.gp"},
                              false);
    if (plot.exitCode != 0)
        Note("gnuplot failed; no chart (is gnuplot-nox installed?)");
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    std::string part;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : std::string();
        if (option == "--results" && !value.empty())
            settings.results = value;
        else if (option == "--work" && !value.empty())
            settings.work = value;
        else if (option == "--part" && !value.empty())
            part = value;
        else if (option == "--only" && !value.empty())
            settings.only = value;
        else if (option == "--repeats" && !value.empty())
            settings.repeats = std::max(1, std::atoi(value.c_str()));
        else if (option != "--placement" || !ParsePlacement(value, settings.placement)) {
            std::fprintf(stderr,
                         "usage: %s [--results DIR] [--work DIR] [--repeats N] [--only "
                         "tcp|tcp-one|memory|serial|scaling] [--placement split|one|free]\n",
                         argv[0]);
            return 2;
        }
    }
    // The library writes diagnostic lines to standard output; the table must stand alone there.
    std::string error;
    auto diversion = quillon::StdoutDiversion::Start(quillon::StdoutDiversion::Destination::Discard, error);
    if (!diversion) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    // The host's side: this thread and all it starts, unless started as the device's side.
    if (!RunThisThreadOn(ProcessorsFor(settings.placement).host)) {
        std::fprintf(stderr, "bench: cannot choose the processors to run on\n");
        return 1;
    }
    if (part == "tcp")
        return TcpChild(settings, QuillonRig::Device::Simulator);
    if (part == "tcp-peer")
        return TcpChild(settings, QuillonRig::Device::MinimalPeer);
    if (part == "serial")
        return SerialChild(settings);
    if (part == "memory")
        return MemoryChild(settings);

    fs::remove_all(settings.work);
    fs::create_directories(settings.work);
    fs::create_directories(settings.results);

    Note("making the archives");
    std::uint64_t seed = 1;
    for (const std::uint64_t bytes : {kTcpSizes[0], kTcpSizes[1], kTcpSizes[2], kSerialSize, kMemorySize}) {
        if (const std::string why = WriteNoiseZip(ArchivePath(settings, bytes), bytes, seed++);
            !why.empty()) {
            std::fprintf(stderr, "bench: %s\n", why.c_str());
            return 1;
        }
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<Row> rows;
    const auto wanted = [&](const char* part) { return settings.only.empty() || settings.only == part; };
    if (wanted("tcp"))
        TcpRows(settings, rows);
    if (wanted("memory"))
        MemoryRow(settings, rows);
    if (wanted("serial"))
        SerialRows(settings, rows);
    // What each side spends per block: the TCP rows again, both sides on one processor.
    std::vector<Row> oneRows;
    if (wanted("tcp-one") && settings.placement != Placement::One) {
        Settings one = settings;
        one.placement = Placement::One;
        const RunningOn hostSide(ProcessorsFor(Placement::One).host);
        Note("the TCP transfers again, the host's and the device's side on one processor");
        TcpRows(one, oneRows);
    }

    std::vector<ScalingRow> scaling;
    if (wanted("scaling")) {
        Note("how the costs grow: archives of 100 to 10,000 entries, packages of 100 and 1,000 files, "
             "1 and 32 serial ports, transfers of 12 and 120 MB, 1,000 and 10,000 connections");
        scaling = MeasureScaling(
            settings.work / "scaling", settings.repeats,
            {QUILLON_TOOL_PROGRAM, QUILLON_DEVICE_PROGRAM, ProcessorsFor(settings.placement).device});
        std::ofstream(settings.results / "scaling.csv") << ScalingCsv(scaling);
    }

    // A run of the scaling part alone leaves the last transfer table's files as they were.
    const fs::path csv = settings.results / "e2e.csv";
    if (!rows.empty()) {
        std::ofstream(csv) << Csv(rows);
        Chart(settings, csv);
        PrintTable(diversion->Output(), rows,
                   std::string("Transfers; the host's and the device's side placed: ") +
                       PlacementName(settings.placement));
    }
    if (!oneRows.empty()) {
        std::ofstream(settings.results / "e2e-one-processor.csv") << Csv(oneRows);
        PrintTable(diversion->Output(), oneRows,
                   "The TCP transfers with both sides on one processor: what each side spends per block");
    }
    if (!scaling.empty())
        PrintScaling(diversion->Output(), scaling);
    std::fflush(diversion->Output());
    Note("done in " +
         std::to_string(static_cast<int>(
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())) +
         " s; " + csv.string() + " and " + (settings.results / "e2e.png").string());
    fs::remove_all(settings.work);
    // A missed target is a finding for the table, not a failure of the run.
    return 0;
}
