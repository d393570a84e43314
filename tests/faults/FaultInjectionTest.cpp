// The transfer object against the simulated device committing faults, over loopback TCP and over a
// serial line on a pseudo-terminal: every fault ends within a bounded time with the result the host
// is documented to see, and leaves no thread running, no file outside the test's folder and nothing
// that passes for a downloaded archive. A serial device is found by a port trial of about four
// seconds, so each serial case runs one transfer object and faults that do not interfere.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "common/DevicePeer.h"
#include "common/PseudoTerminal.h"
#include "device/HostWithDevice.h"
#include "support/PseudoTerminalPair.h"
#include "support/SerialPortList.h"
#include "transfer/PendingOp.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::DeviceSimulator;
using sim::Faults;
using sim::Operation;
using sim::SimulatorOptions;

constexpr int kSerialLink = 0;
constexpr int kTcpLink = 1;

// Bounds that only a broken run reaches (a sanitizer build is several times slower than a plain one).
// A port trial takes about four seconds; a device that lost its key is keyed again at the next port
// search, about every six seconds while a device is online.
constexpr auto kFound = 30s;
constexpr auto kKeyedAgain = 30s;
// Every reply wait is about a second.
constexpr auto kFailedOperation = 6s;
constexpr auto kGone = 10s;

enum class Link { Tcp, Serial };

std::string LinkName(Link link)
{
    return link == Link::Tcp ? "Tcp" : "Serial";
}

std::size_t ThreadCount()
{
    std::size_t count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/self/task", error); !error && it != fs::directory_iterator();
         it.increment(error))
        ++count;
    return count;
}

// The calendar second a host key was made in: its first four bytes.
std::uint32_t KeySecond(const LinkKey& key)
{
    return static_cast<std::uint32_t>(key[0]) | static_cast<std::uint32_t>(key[1]) << 8 |
           static_cast<std::uint32_t>(key[2]) << 16 | static_cast<std::uint32_t>(key[3]) << 24;
}

std::uint32_t CalendarSecond()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

// The host makes its keys from the calendar second: a key made once the second of `key` is over
// cannot be the same key.
bool WaitForTheNextKeySecond(const LinkKey& key)
{
    return WaitFor([&] { return CalendarSecond() != KeySecond(key); }, 3s);
}

// The last lines a device logged, frames included, for a failure's message. Written on the
// device's thread.
class DeviceLog {
public:
    void Add(const std::string& line)
    {
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(at) + " ms " + line);
        if (lines_.size() > kKept)
            lines_.pop_front();
    }
    std::string Text() const
    {
        std::lock_guard lock(mutex_);
        std::string text = "\nthe device's last lines:";
        for (const std::string& line : lines_)
            text += "\n  " + line;
        return text;
    }

private:
    static constexpr std::size_t kKept = 60;
    const Clock::time_point start_ = Clock::now();
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
};

template <typename Op> Clock::duration Timed(Op&& op)
{
    const auto start = Clock::now();
    op();
    return Clock::now() - start;
}

// Shared with the links' watcher threads, which may still be in the callback as a test ends.
struct OnlineReports {
    std::atomic<int> serialState{0};
    std::atomic<int> serialDrops{0};
};

class FaultHarness : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A sanitizer's runtime starts a thread of its own along with the first thread the program
        // makes, and keeps it: that one is running before the count is taken.
        std::thread([] {}).join();
        threadsBefore_ = ThreadCount();
        quillon_ = std::make_unique<CQuillon>();
        fs::create_directories(UnpackFolder() / "kept");
        WriteBytes(UnpackFolder() / "kept" / "earlier.txt", "from an earlier download");
        expected_ = {"down", "down/kept", "down/kept/earlier.txt"};
    }

    void TearDown() override
    {
        const auto ending = Timed([&] { quillon_.reset(); });
        EXPECT_LT(ending, 5s) << "destroying the transfer object took too long";
        devices_.clear();
        Registry().SetDeviceOnline(nullptr);
        // A skipped case ran nothing to check, and under Wine /proc/self/task counts Wine's threads.
        if (IsSkipped())
            return;
        if (fs::exists("/proc/self/task")) {
            EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsBefore_; }, kGone))
                << ThreadCount() << " threads run, " << threadsBefore_ << " ran before the test";
        }
        // Whatever a failed download gathered goes with the transfer object.
        EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));
        ExpectOnlyTheExpectedFiles();
    }

    // Every path below the test's folder, but inside the devices' state folders and the packages'
    // sources, is one the test expects there.
    void ExpectOnlyTheExpectedFiles()
    {
        std::set<std::string> found;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(folder_.path(), error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            const std::string relative = fs::relative(it->path(), folder_.path()).generic_string();
            const std::string top = relative.substr(0, relative.find('/'));
            if (top != relative && (top.rfind("state", 0) == 0 || top.rfind("source", 0) == 0))
                continue;
            found.insert(relative);
        }
        EXPECT_FALSE(error);
        std::string unexpected;
        for (const std::string& path : found) {
            if (!expected_.count(path))
                unexpected += " " + path;
        }
        EXPECT_EQ(unexpected, "") << "files the test did not expect";
    }

    CQuillon& quillon() { return *quillon_; }

    // What the device logged, for a failure's message.
    std::string EventsOf(const DeviceSimulator& device) const
    {
        const auto log = deviceLogs_.find(&device);
        return log == deviceLogs_.end() ? std::string() : log->second->Text();
    }

    // A settings archive of files of these sizes, packed by the host's own packer; the files.
    std::map<std::string, std::string> Archive(const std::string& name, const std::vector<std::size_t>& sizes)
    {
        expected_.insert(name + ".zip");
        expected_.insert("source-" + name);
        return PackArchive(quillon(), folder_.path() / ("source-" + name), sizes, ArchivePath(name));
    }
    fs::path ArchivePath(const std::string& name) const { return folder_.path() / (name + ".zip"); }

    SimulatorOptions Options(Link link, const std::string& state = "state")
    {
        SimulatorOptions options;
        options.transport = link == Link::Tcp ? sim::Transport::Tcp : sim::Transport::Pty;
        options.stateFolder = folder_.path() / state;
        options.name = "FAULTY-UNIT1";
        options.verbose = true;
        auto log = std::make_shared<DeviceLog>();
        options.log = [log](const std::string& line) { log->Add(line); };
        logs_[options.stateFolder.string()] = log;
        expected_.insert(state);
        return options;
    }

    // Starts a device; a serial one is put on the port list, after the ports already there.
    DeviceSimulator& StartDevice(SimulatorOptions options)
    {
        const auto log = logs_.find(options.stateFolder.string());
        devices_.push_back(std::make_unique<DeviceSimulator>(std::move(options)));
        DeviceSimulator& device = *devices_.back();
        if (log != logs_.end())
            deviceLogs_[&device] = log->second;
        EXPECT_EQ(device.Start(), "");
        if (!device.HostPortPath().empty()) {
            if (std::find(ports_.begin(), ports_.end(), device.HostPortPath()) == ports_.end())
                ports_.push_back(device.HostPortPath());
            serial::pin_ports(ports_);
        }
        return device;
    }

    // Starts the device and waits until the host has it on the link and has keyed it.
    DeviceSimulator& Connect(Link link, SimulatorOptions options)
    {
        DeviceSimulator& device = StartDevice(std::move(options));
        EXPECT_TRUE(WaitFor([&] { return device.GetStats().sessions == 1; }, link == Link::Tcp ? 10s : kFound))
            << "the host never keyed the device" << EventsOf(device);
        // The link's watcher reports the device at its next pass.
        const int chosen = link == Link::Tcp ? kTcpLink : kSerialLink;
        EXPECT_TRUE(WaitFor([&] { return Registry().GetSeriOrTcp() == chosen; }))
            << "the host chose link " << Registry().GetSeriOrTcp();
        return device;
    }

    // Stops a device and lets go of its end of the link: a TCP connection closes, a pseudo-terminal's
    // master side closes.
    void Unplug(DeviceSimulator& device)
    {
        const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.get() == &device; });
        ASSERT_NE(it, devices_.end());
        deviceLogs_.erase(&device);
        devices_.erase(it);
    }

    std::string DownloadPath() const { return folder_.str("down.zip"); }
    fs::path UnpackFolder() const { return folder_.path() / "down"; }

    void StartDownload(char kind)
    {
        unpackedBefore_ = SnapshotTree(UnpackFolder());
        quillon().SetUnzipfloderpath(UnpackFolder().string());
        quillon().ReadSetFromHard(DownloadPath(), kind);
    }

    // A failed download left no archive, nothing new unpacked, and no gathered blocks that pass for
    // the device's whole archive.
    void ExpectNoTraceOfTheDownload(const fs::path& served)
    {
        EXPECT_FALSE(fs::exists(DownloadPath())) << "a failed download left an archive";
        EXPECT_EQ(TreeChanges(unpackedBefore_, SnapshotTree(UnpackFolder())), "");
        const fs::path part = DownloadPath() + ".part";
        if (fs::exists(part)) {
            expected_.insert("down.zip.part");  // until the transfer object goes
            EXPECT_LT(fs::file_size(part), fs::file_size(served)) << "the gathered blocks look complete";
        }
    }

    // Whether the device's state folder holds an uploaded archive, whole or in the making.
    static bool HoldsAnUpload(const SimulatorOptions& options)
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(options.stateFolder, error)) {
            if (entry.path().filename().string().rfind("kind-", 0) == 0)
                return true;
        }
        return false;
    }

    // Records the serial link's reports from here on.
    std::shared_ptr<OnlineReports> WatchSerialReports()
    {
        auto reports = std::make_shared<OnlineReports>();
        Registry().SetDeviceOnline([reports](int state, int link) {
            if (link != kSerialLink)
                return;
            if (reports->serialState.exchange(state) == 1 && state == -1)
                ++reports->serialDrops;
        });
        return reports;
    }

    TempFolder folder_;
    std::size_t threadsBefore_ = 0;
    std::unique_ptr<CQuillon> quillon_;
    std::vector<std::unique_ptr<DeviceSimulator>> devices_;
    std::vector<std::string> ports_;
    std::set<std::string> expected_;
    Tree unpackedBefore_;
    std::map<std::string, std::shared_ptr<DeviceLog>> logs_;  // by state folder
    std::map<const DeviceSimulator*, std::shared_ptr<DeviceLog>> deviceLogs_;
};

// Cases that both links carry alike.
class FaultOnEitherLink : public FaultHarness, public ::testing::WithParamInterface<Link> {
protected:
    void SetUp() override
    {
        if (GetParam() == Link::Serial && !PseudoTerminalPair::Supported())
            GTEST_SKIP() << "pseudo-terminals are not available on this platform";
        FaultHarness::SetUp();
    }
    Link link() const { return GetParam(); }
};

TEST_P(FaultOnEitherLink, UploadCutOffHalfWayFailsAndTheNextOperationWorksUnderANewKey)
{
    Archive("up", {20000});
    const int blocks = BlocksOf(ArchivePath("up"));
    ASSERT_GT(blocks, 3);
    constexpr int kCrossed = 2;
    SimulatorOptions options = Options(link());
    options.faults.disconnectAfter = kCrossed;
    DeviceSimulator& device = Connect(link(), options);
    const auto firstKey = device.GetStats().key;
    ASSERT_TRUE(firstKey);
    ASSERT_TRUE(WaitForTheNextKeySecond(*firstKey));

    int result = 0;
    const auto took = Timed([&] { result = quillon().WriteSettoHard(ArchivePath("up").string(), 4); });
    EXPECT_EQ(result, -1);
    EXPECT_LT(took, kFailedOperation);
    EXPECT_EQ(Registry().GetWriteRate(), Percent(kCrossed, blocks));
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_FALSE(HoldsAnUpload(options)) << "the device kept part of the upload";

    // TCP: the device connects again and the new connection is keyed. Serial: the device restarts
    // and greets with no key; the host's next port search keys it again.
    ASSERT_TRUE(WaitFor([&] { return device.GetStats().sessions == 2; }, kKeyedAgain))
        << "the device was never keyed again" << EventsOf(device);
    const auto secondKey = device.GetStats().key;
    ASSERT_TRUE(secondKey);
    EXPECT_NE(*secondKey, *firstKey);
    EXPECT_EQ(Registry().GetSeriOrTcp(), link() == Link::Tcp ? kTcpLink : kSerialLink);

    EXPECT_TRUE(quillon().JudgeIsAvailable());
    EXPECT_EQ(quillon().WriteFileVersion(1, 31), 0);
    EXPECT_EQ(device.GetStats().versionsWritten, 1);
    EXPECT_EQ(device.GetStats().badFrames, 0) << "the host spoke with a key the device did not have";
}

TEST_P(FaultOnEitherLink, DownloadCutOffHalfWayStallsWithNothingKept)
{
    Archive("served", {20000});
    const int blocks = BlocksOf(ArchivePath("served"));
    ASSERT_GT(blocks, 3);
    constexpr int kCrossed = 2;
    SimulatorOptions options = Options(link());
    options.archive = ArchivePath("served");
    options.faults.disconnectAfter = kCrossed;
    DeviceSimulator& device = Connect(link(), options);

    StartDownload(0);
    ASSERT_TRUE(WaitFor([&] { return device.GetStats().sessions == 2; }, kKeyedAgain))
        << "the device was never keyed again" << EventsOf(device);
    EXPECT_TRUE(WaitFor([&] { return Registry().GetReadRate() == Percent(kCrossed, blocks); }));
    // Nothing tells the host that the device is gone: the download is still pending, which a host
    // sees as a stall.
    EXPECT_EQ(Registry().PendingOp.load(), pending::kDownload);
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_EQ(device.GetStats().blocksSent, kCrossed);
    ExpectNoTraceOfTheDownload(ArchivePath("served"));

    // The device answers under its new key; the probe also calls the download off there.
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    EXPECT_EQ(device.GetStats().probes, 1);
    EXPECT_EQ(device.GetStats().downloadsServed, 0);
    ExpectNoTraceOfTheDownload(ArchivePath("served"));
}

TEST_P(FaultOnEitherLink, SilentDeviceFailsEveryOperationInBoundedTime)
{
    Archive("up", {6000});
    SimulatorOptions options = Options(link());
    options.archive = ArchivePath("up");
    options.faults.silent = true;
    DeviceSimulator& device = Connect(link(), options);

    int result = 0;
    const auto took = Timed([&] { result = quillon().WriteSettoHard(ArchivePath("up").string(), 0); });
    EXPECT_EQ(result, -1);
    EXPECT_GE(took, 900ms) << "the host did not wait for the acknowledgement";
    EXPECT_LT(took, kFailedOperation);
    EXPECT_EQ(Registry().GetWriteRate(), 0);
    EXPECT_FALSE(Registry().GetWritefinish());

    StartDownload(0);
    // The probe's half second is the longest a device may take to answer anything.
    EXPECT_FALSE(quillon().JudgeIsAvailable());
    EXPECT_EQ(Registry().ReadStarted.load(), 0) << "a size came from a silent device";
    EXPECT_EQ(Registry().GetReadRate(), 0);
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_EQ(Registry().PendingOp.load(), pending::kDownload);
    ExpectNoTraceOfTheDownload(ArchivePath("up"));
    EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));

    // Every request reached the device (the upload's command, the download's and the probe), and
    // the device said nothing beyond the greetings that a serial device needs to be found.
    const sim::Stats stats = device.GetStats();
    EXPECT_EQ(stats.framesReceived[TypeByte(FrameType::Command)], 3);
    EXPECT_EQ(stats.badFrames, 0);
    EXPECT_EQ(stats.framesSent, stats.greetings);
    EXPECT_FALSE(HoldsAnUpload(options));
}

TEST_P(FaultOnEitherLink, RefusedUploadAndDownloadAreCalledOffAtOnce)
{
    Archive("up", {6000});
    SimulatorOptions options = Options(link());
    options.archive = ArchivePath("up");
    options.faults.Refuse(Operation::Upload);
    options.faults.Refuse(Operation::Download);
    DeviceSimulator& device = Connect(link(), options);

    int result = 0;
    const auto took = Timed([&] { result = quillon().WriteSettoHard(ArchivePath("up").string(), 2); });
    EXPECT_EQ(result, -1);
    EXPECT_LT(took, kFailedOperation);
    EXPECT_EQ(Registry().PendingOp.load(), pending::kNone);
    EXPECT_EQ(Registry().GetWriteRate(), 0);
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_TRUE(WaitFor([&] { return device.GetStats().probes == 1; })) << "no abort command came";
    EXPECT_EQ(device.GetStats().framesReceived[TypeByte(FrameType::Value)], 0) << "the size went after a refusal";

    StartDownload(2);
    // A host learns that a download failed when the pending operation falls back to none.
    EXPECT_TRUE(WaitFor([] { return Registry().PendingOp.load() == pending::kNone; }, kFailedOperation));
    EXPECT_TRUE(WaitFor([&] { return device.GetStats().probes == 2; })) << "no abort command came";
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_EQ(Registry().ReadStarted.load(), 0);
    EXPECT_EQ(Registry().GetReadRate(), 0);
    ExpectNoTraceOfTheDownload(ArchivePath("up"));
    EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));

    EXPECT_EQ(device.GetStats().refusals, 2);
    EXPECT_FALSE(HoldsAnUpload(options));
}

INSTANTIATE_TEST_SUITE_P(Links, FaultOnEitherLink, ::testing::Values(Link::Tcp, Link::Serial),
                         [](const auto& info) { return LinkName(info.param); });

// What a download block can do wrong, and whether the host must give the download up for it.
enum class BlockFault { WrongChecksum, WrongIndex, SizeRepeated };

std::string BlockFaultName(BlockFault fault)
{
    switch (fault) {
    case BlockFault::WrongChecksum:
        return "WrongChecksum";
    case BlockFault::WrongIndex:
        return "WrongIndex";
    case BlockFault::SizeRepeated:
        return "SizeRepeated";
    }
    return "?";
}

class DownloadBlockFault : public FaultHarness,
                           public ::testing::WithParamInterface<std::tuple<Link, BlockFault>> {
protected:
    void SetUp() override
    {
        if (link() == Link::Serial && !PseudoTerminalPair::Supported())
            GTEST_SKIP() << "pseudo-terminals are not available on this platform";
        FaultHarness::SetUp();
    }
    Link link() const { return std::get<0>(GetParam()); }
    BlockFault fault() const { return std::get<1>(GetParam()); }
};

TEST_P(DownloadBlockFault, EndsAsDocumented)
{
    const auto files = Archive("served", {5000, 5000, 5000});
    const int blocks = BlocksOf(ArchivePath("served"));
    constexpr int kFaulty = 2;
    ASSERT_GT(blocks, kFaulty + 1);
    SimulatorOptions options = Options(link());
    options.archive = ArchivePath("served");
    switch (fault()) {
    case BlockFault::WrongChecksum:
        options.faults.corruptBlock = kFaulty;
        break;
    case BlockFault::WrongIndex:
        options.faults.wrongIndexBlock = kFaulty;
        break;
    case BlockFault::SizeRepeated:
        options.faults.repeatSize = true;
        break;
    }
    DeviceSimulator& device = Connect(link(), options);

    StartDownload(5);
    if (fault() == BlockFault::SizeRepeated) {
        // The repeated size restarts nothing: the host acknowledges the first one only, and the
        // download ends whole.
        ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }, 20s)) << "the download never finished";
        expected_.insert("down.zip");
        for (const auto& [name, content] : files) {
            expected_.insert("down/" + name);
            EXPECT_EQ(ReadBytes(UnpackFolder() / name), content) << name;
        }
        EXPECT_EQ(ReadBytes(DownloadPath()), ReadBytes(ArchivePath("served")));
        EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));
        EXPECT_EQ(Registry().GetReadRate(), 100);
        EXPECT_EQ(Registry().PendingOp.load(), pending::kDownload);
        ASSERT_TRUE(WaitFor([&] { return device.GetStats().downloadsServed == 1; }));
        EXPECT_EQ(device.GetStats().framesReceived[TypeByte(FrameType::Ack)], blocks + 1);
        return;
    }

    // The host gives the download up at the faulty block and tells the device so.
    ASSERT_TRUE(WaitFor([] { return Registry().PendingOp.load() == pending::kNone; }, kFailedOperation))
        << "the host took the faulty block";
    EXPECT_TRUE(WaitFor([&] { return device.GetStats().probes == 1; })) << "no abort command came";
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_EQ(Registry().GetReadRate(), Percent(kFaulty, blocks));
    EXPECT_EQ(device.GetStats().blocksSent, kFaulty + 1);
    EXPECT_EQ(device.GetStats().downloadsServed, 0);
    ExpectNoTraceOfTheDownload(ArchivePath("served"));

    // The link is unharmed: the device still answers.
    EXPECT_TRUE(quillon().JudgeIsAvailable());
}

INSTANTIATE_TEST_SUITE_P(
    Links, DownloadBlockFault,
    ::testing::Combine(::testing::Values(Link::Tcp, Link::Serial),
                       ::testing::Values(BlockFault::WrongChecksum, BlockFault::WrongIndex, BlockFault::SizeRepeated)),
    [](const auto& info) { return LinkName(std::get<0>(info.param)) + BlockFaultName(std::get<1>(info.param)); });

using FaultOverTcp = FaultHarness;

// A host talks to the device that connected last: a second device that connects during an upload
// is keyed, takes every frame from then on, and the upload to the first one fails.
TEST_F(FaultOverTcp, SecondDeviceTakesTheLinkOverDuringAnUpload)
{
    Archive("up", {30 * 4096});
    const int blocks = BlocksOf(ArchivePath("up"));
    // The first device answers slowly, so that the upload is still going when the second one comes.
    SimulatorOptions firstOptions = Options(Link::Tcp, "state-first");
    firstOptions.faults.delay = 100ms;
    DeviceSimulator& first = Connect(Link::Tcp, firstOptions);
    const auto firstKey = first.GetStats().key;
    ASSERT_TRUE(firstKey);

    const auto start = Clock::now();
    auto upload = OnHostThread([&] { return quillon().WriteSettoHard(ArchivePath("up").string(), 6); });
    ASSERT_TRUE(WaitFor([&] { return first.GetStats().blocksReceived >= 2; })) << EventsOf(first);
    ASSERT_TRUE(WaitForTheNextKeySecond(*firstKey));
    SimulatorOptions secondOptions = Options(Link::Tcp, "state-second");
    secondOptions.name = "SECOND-UNIT2";
    DeviceSimulator& second = StartDevice(secondOptions);
    ASSERT_TRUE(WaitFor([&] { return second.GetStats().sessions == 1; })) << "the second device was never keyed";

    ASSERT_EQ(upload.wait_for(kFailedOperation + blocks * firstOptions.faults.delay), std::future_status::ready);
    EXPECT_EQ(upload.get(), -1);
    EXPECT_LT(Clock::now() - start, kFailedOperation + blocks * firstOptions.faults.delay);
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_LT(Registry().GetWriteRate(), 100);
    EXPECT_LT(first.GetStats().blocksReceived, blocks);
    EXPECT_NE(*second.GetStats().key, *firstKey);
    EXPECT_EQ(first.GetStats().sessions, 1) << "the first device was keyed again";
    EXPECT_EQ(first.GetStats().uploadsStored + second.GetStats().uploadsStored, 0);
    // The first device still waits for the rest, which will never come to it.
    EXPECT_FALSE(fs::exists(firstOptions.stateFolder / "kind-6.zip"));
    EXPECT_FALSE(HoldsAnUpload(secondOptions));

    // The next frames go to the second device alone.
    const auto total = [](const sim::Stats& stats) {
        int frames = stats.badFrames;
        for (const int n : stats.framesReceived)
            frames += n;
        return frames;
    };
    const int firstHeard = total(first.GetStats());
    const int secondProbes = second.GetStats().probes;
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    EXPECT_EQ(second.GetStats().probes, secondProbes + 1);
    EXPECT_EQ(total(first.GetStats()), firstHeard);
    EXPECT_EQ(first.GetStats().connections, 1);

    // Once the second device is gone, the first one's connection is the newest one left, and the
    // host's frames go there again.
    Unplug(second);
    EXPECT_TRUE(WaitFor(
        [&] {
            quillon().JudgeIsAvailable();
            return total(first.GetStats()) > firstHeard;
        },
        kGone))
        << "nothing reached the first device";
}

using FaultOverSerial = FaultHarness;

// A serial port that goes away while the device is online (its pseudo-terminal closes under an
// upload): the link goes offline at once, the upload fails, and a device on a new port is found.
TEST_F(FaultOverSerial, PortThatVanishesGoesOfflineAndTheNextDeviceIsFound)
{
    if (!PseudoTerminalPair::Supported())
        GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    const auto reports = WatchSerialReports();
    Archive("up", {20000});
    const int blocks = BlocksOf(ArchivePath("up"));
    // At the pace of a real line the upload is still going when the port goes.
    SimulatorOptions firstOptions = Options(Link::Serial, "state-first");
    firstOptions.faults.lineRate = true;
    DeviceSimulator& first = Connect(Link::Serial, firstOptions);
    ASSERT_TRUE(WaitFor([&] { return reports->serialState == 1; }, kFound));

    auto upload = OnHostThread([&] { return quillon().WriteSettoHard(ArchivePath("up").string(), 1); });
    ASSERT_TRUE(WaitFor([&] { return first.GetStats().blocksReceived >= 1; })) << EventsOf(first);
    ASSERT_LT(first.GetStats().blocksReceived, blocks);
    const auto vanished = Clock::now();
    Unplug(first);

    ASSERT_TRUE(WaitFor([&] { return reports->serialDrops == 1; }, kGone)) << "the link never went offline";
    EXPECT_LT(Clock::now() - vanished, 3s);
    ASSERT_EQ(upload.wait_for(kFailedOperation), std::future_status::ready);
    EXPECT_EQ(upload.get(), -1);
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_LT(Registry().GetWriteRate(), 100);
    EXPECT_FALSE(HoldsAnUpload(firstOptions));
    // The link chosen stays the serial one, offline.
    EXPECT_EQ(Registry().GetSeriOrTcp(), kSerialLink);
    EXPECT_FALSE(quillon().JudgeIsAvailable());
    EXPECT_EQ(reports->serialState, -1);

    SimulatorOptions secondOptions = Options(Link::Serial, "state-second");
    DeviceSimulator& second = Connect(Link::Serial, secondOptions);
    // A port search runs its trials on every listed port, so finding the device again takes seconds.
    EXPECT_TRUE(WaitFor([&] { return reports->serialState == 1; }, kFound)) << "the link never came back online";
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    // The last block's acknowledgement is still on its way when the test ends and the transfer
    // object goes, as in a program that has done its job: its delivery must not outlive the link.
    EXPECT_EQ(quillon().WriteSettoHard(ArchivePath("up").string(), 1), 0);
    EXPECT_EQ(Registry().GetWriteRate(), 100);
    EXPECT_TRUE(WaitFor([&] { return second.GetStats().uploadsStored == 1; }));
    EXPECT_EQ(ReadBytes(secondOptions.stateFolder / "kind-1.zip"), ReadBytes(ArchivePath("up")));
    EXPECT_EQ(reports->serialDrops, 1);
}

// A serial device greets until the key frame reaches it, so a greeting can cross the key frame and
// reach the host after it, just before the device's first answer. The greeting's padding must not
// hide that answer.
TEST_F(FaultOverSerial, GreetingThatCrossesTheKeyFrameHidesNoAnswer)
{
    if (!PseudoTerminal::Supported())
        GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    ports_.push_back(pty.slavePath());
    serial::pin_ports(ports_);
    DevicePeer device(PtyDeviceChannel(pty), true);
    Bytes greeting = GreetingFrame();
    greeting.resize(72, 0x00);
    greeting.back() = kFrameEnd;
    device.SendRaw(greeting);
    ASSERT_TRUE(device.ReadKeyFrame(kFound)) << "the host never keyed the device";
    ASSERT_TRUE(device.ReadWireFrame()) << "the key frame came once";
    ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == kSerialLink; }));

    // A device keeps its frames apart by more than the 10 ms of quiet that end a host's read, so
    // that each frame is a read of its own; the simulated device keeps 25 ms.
    constexpr auto kFrameGap = 25ms;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        device.SendRaw(greeting);
        const auto greeted = Clock::now();
        auto probe = OnHostThread([&] { return quillon().JudgeIsAvailable(); });
        const auto command = device.ReadFrame();
        ASSERT_TRUE(command && command->checked()) << "no probe came";
        EXPECT_EQ(command->type(), TypeByte(FrameType::Command));
        std::this_thread::sleep_until(greeted + kFrameGap);
        device.SendAck();
        EXPECT_TRUE(probe.get()) << "the host missed the answer that followed a greeting";
    }
}

}  // namespace
}  // namespace quillon::testing
