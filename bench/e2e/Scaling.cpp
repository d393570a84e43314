#include "Scaling.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "Archives.h"
#include "Processes.h"
#include "QuillonRuns.h"
#include "Report.h"
#include "Sockets.h"
#include "archive/BrowseDir.h"
#include "archive/ZipArchive.h"
#include "state/PackageContents.h"
#include "state/Sysconfig_SET.h"
#include "support/fs/Paths.h"
#include "support/serial/SerialPortList.h"
#include "support/tooling/PseudoTerminalPair.h"
#include "transport/HardwareServer_SET.h"
#include "transport/SerialPort_SET.h"

namespace quillon::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kEntryCounts[] = {100, 1'000, 10'000};
constexpr std::uint64_t kPackageFiles[] = {100, 1'000};
constexpr std::uint64_t kPortCounts[] = {1, 32};
constexpr std::uint64_t kConnectionCounts[] = {1'000, 10'000};
// Walks short enough for the clock's and the scheduler's noise are timed many times over.
constexpr int kDeepWalks = 100;
constexpr int kWideWalks = 10;
// A download can hold no more than 32,768 blocks (128 MiB), which the block index allows.
constexpr std::uint64_t kTransferMegabytes[] = {12, 120};
// Entries "in folders" go ten to a folder.
constexpr std::uint64_t kEntriesPerFolder = 10;

// Seconds that work takes; nullopt when it failed. setUp runs before each, outside the time.
std::optional<double> Timed(const std::function<void()>& setUp, const std::function<bool()>& work)
{
    if (setUp)
        setUp();
    const auto start = Clock::now();
    const bool ok = work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ok ? std::optional<double>(seconds) : std::nullopt;
}

std::optional<double> MedianOf(int repeats, const std::function<void()>& setUp,
                               const std::function<bool()>& work)
{
    std::vector<std::optional<double>> runs;
    for (int i = 0; i < repeats; ++i)
        runs.push_back(Timed(setUp, work));
    return Median(runs);
}

void Fresh(const fs::path& folder)
{
    fs::remove_all(folder);
    fs::create_directories(folder);
}

// count files of ten bytes in folder, flat or ten to a subfolder; their names as a package lists
// them.
std::vector<std::string> MakeFiles(const fs::path& folder, std::uint64_t count, bool inFolders)
{
    Fresh(folder);
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string name = "f" + std::to_string(i) + ".bin";
        if (inFolders) {
            const std::string sub = "d" + std::to_string(i / kEntriesPerFolder);
            fs::create_directories(folder / sub);
            name = sub + "/" + name;
        }
        std::ofstream(folder / name, std::ios::binary) << "0123456789";
        names.push_back(std::move(name));
    }
    return names;
}

ScalingRow Row(std::string operation, std::uint64_t count)
{
    ScalingRow row;
    row.operation = std::move(operation);
    row.count = count;
    return row;
}

bool Succeeded(const std::vector<std::string>& argv) { return Run(argv, false).exitCode == 0; }

// Runs argv in folder, through the shell: zip names what it packs relative to where it runs.
bool SucceededIn(const fs::path& folder, const std::string& command)
{
    return Succeeded({"sh", "-c", "cd \"$0\" && " + command, folder.string()});
}

void ArchiveRows(const fs::path& work, int repeats, std::vector<ScalingRow>& rows)
{
    for (const bool inFolders : {false, true}) {
        const std::string layout = inFolders ? " in folders" : " flat";
        for (const std::uint64_t count : kEntryCounts) {
            const fs::path source = work / "files";
            const std::vector<std::string> names = MakeFiles(source, count, inFolders);
            const fs::path ours = work / "ours.zip";
            const fs::path theirs = work / "theirs.zip";
            ScalingRow pack = Row("pack" + layout, count);
            pack.quillon = MedianOf(
                repeats, [&] { fs::remove(ours); },
                [&] { return PackFiles(source.string(), names, ours.string()).ok; });
            pack.reference = MedianOf(
                repeats, [&] { fs::remove(theirs); },
                [&] { return SucceededIn(source, "zip -q -r -D " + theirs.string() + " ."); });
            rows.push_back(pack);

            // Both unpack the same archive, the one zip made (without entries for the folders, which
            // the library refuses: a settings archive holds files).
            // The library unpacks only into folders that exist: they are made first, for both.
            const fs::path into = work / "unpacked";
            const auto empty = [&] {
                Fresh(into);
                for (std::uint64_t folder = 0; inFolders && folder * kEntriesPerFolder < count; ++folder)
                    fs::create_directory(into / ("d" + std::to_string(folder)));
            };
            ScalingRow unpack = Row("unpack" + layout, count);
            unpack.quillon =
                MedianOf(repeats, empty, [&] { return UnpackArchive(theirs.string(), into.string()).ok; });
            unpack.reference = MedianOf(repeats, empty, [&] {
                return Succeeded({"unzip", "-q", theirs.string(), "-d", into.string()});
            });
            rows.push_back(unpack);
        }
    }
}

// A complete package of count files: the description, the device's files, and the rest.
fs::path MakePackage(const fs::path& folder, std::uint64_t count)
{
    MakeFiles(folder, count, false);
    std::ofstream(folder / "DeviceSet.DST", std::ios::binary) << "AB12XY345678\r\nBDB0001\r\n";
    for (const char* name : {"AB12XY345678.ORI", "AB12XY345678.RGF", "BDB0001.bdb"})
        std::ofstream(folder / name, std::ios::binary) << "device file";
    return folder;
}

void PackageRows(const fs::path& work, int repeats, std::vector<ScalingRow>& rows)
{
    CSysconfig_SET& registry = *CSysconfig_SET::get();
    for (const std::uint64_t count : kPackageFiles) {
        const fs::path package = MakePackage(work / "package", count);
        const fs::path root = work / "root";
        ScalingRow repair = Row("repair", count);
        repair.quillon = MedianOf(
            repeats, [&] { Fresh(root); },
            [&] {
                return registry.RepairSETPath(WidePath(root.string()), WidePath(package.generic_string()));
            });
        rows.push_back(repair);
        ScalingRow check = Row("check", count);
        check.quillon = MedianOf(repeats, {}, [&] {
            return CheckPackageFolder(package, [&](const std::string& path) {
                       return registry.CheckSETExist(path);
                   }).result == PackageCheck::Result::Complete;
        });
        rows.push_back(check);
    }
}

// Seconds from one search of the serial link's watcher to the next, over count silent
// pseudo-terminals: the search itself, and the watcher's passes between searches, which the row
// of no ports measures alone and which are taken off the others.
std::optional<double> SearchCycleSeconds(std::uint64_t count)
{
    std::vector<std::unique_ptr<PseudoTerminalPair>> ports;
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i) {
        ports.push_back(std::make_unique<PseudoTerminalPair>());
        names.push_back(ports.back()->slavePath());
    }
    serial::pin_ports(names);
    CSerialPort_SET link;
    const auto waitFor = [&](int searches) {
        const auto limit = Clock::now() + std::chrono::seconds(300);
        while (link.SearchesStarted() < searches && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return link.SearchesStarted() >= searches;
    };
    std::optional<double> seconds;
    if (waitFor(1)) {
        const auto start = Clock::now();
        if (waitFor(2))
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    link.Stop();
    serial::unpin_ports();
    return seconds;
}

// The folder walk over a wide tree (files in one folder) and a deep one (a file in each of nested
// folders).
void WalkRows(const fs::path& work, int repeats, std::vector<ScalingRow>& rows)
{
    // Seconds a walk takes, from `times` walks in a row: alone they last less than a millisecond.
    const auto walks = [&](const fs::path& top, std::uint64_t expected, int times) {
        std::optional<double> seconds = MedianOf(repeats, {}, [&] {
            bool walked = true;
            for (int i = 0; i < times && walked; ++i) {
                CBrowseDir browser;
                walked = browser.SetInitDir(top.string().c_str()) && browser.BeginBrowse("*") &&
                         static_cast<std::uint64_t>(browser.GetFileCount()) == expected;
            }
            return walked;
        });
        if (seconds)
            *seconds /= times;
        return seconds;
    };
    for (const std::uint64_t count : {std::uint64_t{1'000}, std::uint64_t{10'000}}) {
        const fs::path top = work / "wide";
        MakeFiles(top, count, false);
        ScalingRow wide = Row("walk wide", count);
        wide.quillon = walks(top, count, kWideWalks);
        rows.push_back(wide);
    }
    for (const std::uint64_t depth : {std::uint64_t{8}, std::uint64_t{80}}) {
        const fs::path top = work / "deep";
        Fresh(top);
        fs::path folder = top;
        for (std::uint64_t level = 0; level < depth; ++level) {
            folder /= "d";
            fs::create_directory(folder);
            std::ofstream(folder / "f", std::ios::binary) << "0123456789";
        }
        ScalingRow deep = Row("walk deep", depth);
        deep.quillon = walks(top, depth, kDeepWalks);
        rows.push_back(deep);
    }
}

// A silent port holds the search for its whole probe, about four seconds, the same every time: one
// run of each count, so that 32 ports take two minutes rather than six.
void PortSearchRows(std::vector<ScalingRow>& rows)
{
    const std::optional<double> between = SearchCycleSeconds(0);
    for (const std::uint64_t count : kPortCounts) {
        const auto cycle = SearchCycleSeconds(count);
        ScalingRow search = Row("port search", count);
        if (cycle && between)
            search.quillon = *cycle - *between;
        rows.push_back(search);
    }
}

// Connections that come and go as fast as one client can make them, each closed at once; then one
// more that stays, until its key frame comes: by then the link has taken in and let go of all before
// it, each new one replacing the one before as the device.
std::optional<double> ConnectionsSeconds(std::uint64_t count)
{
    CHardwareServer_SET link;
    if (link.startThread("127.0.0.1", 0) != 0)
        return std::nullopt;
    const int port = link.listeningPort();
    const auto connect = [port] { return ConnectLoopback(port); };
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        const int fd = connect();
        if (fd < 0)
            return std::nullopt;
        ::close(fd);
    }
    const int last = connect();
    char key[10];
    const bool keyed = last >= 0 && ::recv(last, key, sizeof key, MSG_WAITALL) == sizeof key;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (last >= 0)
        ::close(last);
    link.stop();
    return keyed ? std::optional<double>(seconds) : std::nullopt;
}

void ConnectionRows(int repeats, std::vector<ScalingRow>& rows)
{
    for (const std::uint64_t count : kConnectionCounts) {
        ScalingRow row = Row("connections", count);
        std::vector<std::optional<double>> runs;
        for (int i = 0; i < repeats; ++i)
            runs.push_back(ConnectionsSeconds(count));
        row.quillon = Median(runs);
        rows.push_back(row);
    }
}

// argv run under GNU time, which writes the peak resident set of argv alone, in KiB, into `file`. The
// system's own account of a child's peak starts from this process's peak, the moment it starts a
// child; time's own is small.
std::vector<std::string> PeakMeasured(const std::vector<std::string>& argv, const fs::path& file)
{
    std::vector<std::string> measured = {"/usr/bin/time", "-o", file.string(), "-f", "%M"};
    measured.insert(measured.end(), argv.begin(), argv.end());
    return measured;
}

// What PeakMeasured wrote, in MB.
std::optional<double> PeakMB(const fs::path& file)
{
    double kib = 0;
    if (!(std::ifstream(file) >> kib))
        return std::nullopt;
    return kib * 1024.0 / 1e6;
}

// Transfers of each size: the time per size with the library and the minimal device peer in this
// process (nothing but the transfer is timed), and the quillon tool's peak memory uploading to and
// downloading from quillon-device.
void TransferRows(const fs::path& work, const TransferPrograms& programs, int repeats,
                  std::vector<ScalingRow>& rows)
{
    Fresh(work);
    std::vector<fs::path> archives;
    std::uint64_t seed = 20;
    for (const std::uint64_t megabytes : kTransferMegabytes) {
        archives.push_back(work / ("noise-" + std::to_string(megabytes) + ".zip"));
        if (!WriteNoiseZip(archives.back(), megabytes * 1'000'000, seed++).empty())
            return;
    }
    std::map<std::string, std::vector<ScalingRow>> byOperation;
    const auto add = [&](const std::string& operation, std::uint64_t megabytes,
                         const std::vector<std::optional<double>>& runs, const char* unit) {
        ScalingRow row = Row(operation, megabytes);
        row.quillon = Median(runs);
        row.unit = unit;
        byOperation[operation].push_back(row);
    };

    const int port = FreeLoopbackPort(false);
    std::unique_ptr<ChildProcess> device;
    {
        const RunningOn deviceSide(programs.deviceProcessor);
        device = std::make_unique<ChildProcess>(
            std::vector<std::string>{programs.device, "--tcp", "127.0.0.1:" + std::to_string(port), "--state",
                                     (work / "device-state").string()},
            ChildStreams(false));
    }
    const std::vector<std::string> link = {"--listen",           "127.0.0.1", "--port",
                                           std::to_string(port), "--wait",    "30"};
    char kind = 30;
    for (std::size_t i = 0; i < archives.size(); ++i, ++kind) {
        std::vector<std::string> up = {programs.tool, "upload", archives[i].string(), "--kind",
                                       std::to_string(kind)};
        up.insert(up.end(), link.begin(), link.end());
        const Finished upload = Run(PeakMeasured(up, work / "peak-up"), false);
        const fs::path back = work / "back.zip";
        const fs::path into = work / "unpacked";
        Fresh(into);
        std::vector<std::string> down = {programs.tool, "download", back.string(),
                                         into.string(), "--kind",   std::to_string(kind)};
        down.insert(down.end(), link.begin(), link.end());
        const Finished download = Run(PeakMeasured(down, work / "peak-down"), false);
        const bool same = download.exitCode == 0 && SameContent(back, archives[i]);
        fs::remove(back);
        add("upload MB memory", kTransferMegabytes[i],
            {upload.exitCode == 0 ? PeakMB(work / "peak-up") : std::nullopt}, " MB");
        add("download MB memory", kTransferMegabytes[i], {same ? PeakMB(work / "peak-down") : std::nullopt},
            " MB");
    }
    device->Stop();

    // After the tool's runs: a child started while this process holds the archives would count them
    // among its own pages.
    {
        QuillonRig rig(QuillonRig::Link::Tcp, QuillonRig::Device::MinimalPeer, work / "rig",
                       programs.deviceProcessor);
        char kind = 20;
        for (std::size_t i = 0; i < archives.size() && rig.error().empty(); ++i, ++kind) {
            std::vector<std::optional<double>> up, down;
            for (int r = 0; r < repeats; ++r) {
                up.push_back(rig.Upload(archives[i], kind));
                const fs::path back = work / "back.zip";
                auto seconds = rig.Download(back, kind, archives[i]);
                down.push_back(seconds && SameContent(back, archives[i]) ? seconds : std::nullopt);
                fs::remove(back);
            }
            add("upload MB", kTransferMegabytes[i], up, " s");
            add("download MB", kTransferMegabytes[i], down, " s");
        }
    }
    for (const char* operation : {"upload MB", "download MB", "upload MB memory", "download MB memory"})
        for (const ScalingRow& row : byOperation[operation])
            rows.push_back(row);
}

// Each row's ratio to the row of the same operation before it.
void RatiosPerStep(std::vector<ScalingRow>& rows)
{
    std::map<std::string, const ScalingRow*> previous;
    for (ScalingRow& row : rows) {
        const ScalingRow* smaller = previous[row.operation];
        if (smaller && smaller->quillon && row.quillon && *smaller->quillon > 0)
            row.perStep = (*row.quillon / *smaller->quillon) /
                          (static_cast<double>(row.count) / static_cast<double>(smaller->count));
        previous[row.operation] = &row;
    }
}

}  // namespace

std::optional<double> ScalingRow::VsReference() const
{
    if (!quillon || !reference || *reference <= 0)
        return std::nullopt;
    return *quillon / *reference;
}

std::vector<ScalingRow> MeasureScaling(const fs::path& work, int repeats, const TransferPrograms& programs)
{
    // Files are made and removed by the ten thousand: in memory where the system offers it, so that
    // the rows show what the work costs Quillon and the zip tools, not when the disk catches up.
    std::error_code error;
    const fs::path memory = "/dev/shm";
    const fs::path files =
        fs::is_directory(memory, error) ? memory / ("quillon-scaling-" + UserName()) : work;
    std::vector<ScalingRow> rows;
    ArchiveRows(files / "archives", repeats, rows);
    PackageRows(files / "packages", repeats, rows);
    WalkRows(files / "walks", repeats, rows);
    PortSearchRows(rows);
    TransferRows(files / "transfers", programs, repeats, rows);
    ConnectionRows(repeats, rows);
    RatiosPerStep(rows);
    fs::remove_all(files / "archives");
    fs::remove_all(files / "packages");
    fs::remove_all(files / "walks");
    fs::remove_all(files / "transfers");
    return rows;
}

void PrintScaling(std::FILE* out, const std::vector<ScalingRow>& rows)
{
    std::fprintf(out, "\n%-18s %7s %10s %10s %8s %9s\n", "scaling", "count", "Quillon", "zip tool", "Q/zip",
                 "per step");
    for (const ScalingRow& row : rows)
        std::fprintf(out, "%-18s %7llu %10s %10s %8s %9s\n", row.operation.c_str(),
                     static_cast<unsigned long long>(row.count),
                     Fixed(row.quillon, 4, row.unit.c_str()).c_str(), Fixed(row.reference, 4, " s").c_str(),
                     Fixed(row.VsReference(), 2).c_str(), Fixed(row.perStep, 2).c_str());
    std::fprintf(out, "per step: the figure over the row before it, per step of work (1.0 linear; 10 per "
                      "tenfold step quadratic; 0.1 flat). Memory: the tool's peak.\n");
}

std::string ScalingCsv(const std::vector<ScalingRow>& rows)
{
    std::ostringstream csv;
    csv << "operation,count,quillon_s,reference_s,quillon_vs_reference,per_step\n";
    const auto plain = [](std::optional<double> value) { return value ? Fixed(value, 4) : std::string(); };
    for (const ScalingRow& row : rows)
        csv << row.operation << ',' << row.count << ',' << plain(row.quillon) << ',' << plain(row.reference)
            << ',' << plain(row.VsReference()) << ',' << plain(row.perStep) << '\n';
    return csv.str();
}

}  // namespace quillon::bench
