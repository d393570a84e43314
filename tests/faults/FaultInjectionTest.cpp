// The transfer object against the simulated device where a scripted peer cannot stand in for it: a
// link that drops and comes back under a new key, a serial port that vanishes, and a line at a real
// line's pace. Each leaves no thread running, no file the test did not expect and nothing that
// passes for a downloaded archive.
// A serial device is found by a port trial of about four seconds, so each serial case runs one
// transfer object. The faults of single operations are tested against a scripted peer in the
// transfer suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "common/PseudoTerminal.h"
#include "device/DeviceSimulator.h"
#include "support/serial/SerialPortList.h"
#include "transfer/PendingOp.h"
#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::DeviceSimulator;
using sim::SimulatorOptions;

// Bounds that only a broken run reaches (a sanitizer build is several times slower than a plain one).
// A port trial takes about four seconds; a device that lost its key is keyed again at the next port
// search, about every six seconds while a device is online.
constexpr auto kFound = 30s;
constexpr auto kKeyedAgain = 30s;
// Every reply wait is about a second.
constexpr auto kFailedOperation = 6s;
constexpr auto kGone = 10s;

enum class Link { Tcp, Serial };

void PrintTo(Link link, std::ostream* out) { *out << (link == Link::Tcp ? "Tcp" : "Serial"); }

int BlocksOf(const fs::path& zip)
{
    return static_cast<int>((fs::file_size(zip) + kBlockDataSize - 1) / kBlockDataSize);
}

// The host's progress after done of total blocks, as it computes it.
int Percent(int done, int total)
{
    return static_cast<int>(static_cast<float>(done) / static_cast<float>(total) * 100.0f);
}

// The host makes its keys from the calendar second, which is the key's first four bytes: a key
// made once the second of `key` is over cannot be the same key.
bool WaitForTheNextKeySecond(const LinkKey& key)
{
    const std::uint32_t second = ReadLe32(key.data());
    return WaitFor(
        [&] {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            return static_cast<std::uint32_t>(
                       std::chrono::duration_cast<std::chrono::seconds>(now).count()) != second;
        },
        3s);
}

template <typename Op>
Clock::duration Timed(Op&& op)
{
    const auto start = Clock::now();
    op();
    return Clock::now() - start;
}

// What the links' watchers reported, by link. Shared with their threads, which may still be in the
// callback as a test ends.
struct OnlineReports {
    std::atomic<int> state[2] = {};  // 1 online, -1 offline, 0 nothing yet
    std::atomic<int> drops[2] = {};  // online, then offline
};

class FaultHarness : public ::testing::Test {
protected:
    // Whether the case needs pseudo-terminals.
    virtual bool Serial() const { return false; }

    void SetUp() override
    {
        if (Serial() && !PseudoTerminal::Supported())
            GTEST_SKIP() << "pseudo-terminals are not available on this platform";
        // A sanitizer's runtime starts a thread of its own along with the first thread the program
        // makes, and keeps it: that one is running before the count is taken.
        std::thread([] {}).join();
        threadsBefore_ = EntriesIn("/proc/self/task");
        Registry().SetDeviceOnline([reports = reports_](int state, int link) {
            if ((link == kSerialLink || link == kTcpLink) && reports->state[link].exchange(state) == 1 &&
                state == -1)
                ++reports->drops[link];
        });
        quillon_ = std::make_unique<CQuillon>(LoopbackLink());
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
            EXPECT_TRUE(WaitFor([&] { return EntriesIn("/proc/self/task") == threadsBefore_; }, kGone))
                << EntriesIn("/proc/self/task") << " threads run, " << threadsBefore_
                << " ran before the test";
        }
        // Whatever a failed download gathered goes with the transfer object.
        EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));
        ExpectOnlyTheExpectedFiles();
    }

    // Every path below the test's folder, but inside the devices' state folders and the packages'
    // sources, is one the test expects there.
    void ExpectOnlyTheExpectedFiles()
    {
        std::string unexpected;
        for (const auto& [relative, content] : SnapshotTree(folder_.path())) {
            const std::string top = relative.substr(0, relative.find('/'));
            const bool inside = top != relative && (top.starts_with("state") || top.starts_with("source"));
            if (!inside && !expected_.count(relative))
                unexpected += " " + relative;
        }
        EXPECT_EQ(unexpected, "") << "files the test did not expect";
    }

    CQuillon& quillon() { return *quillon_; }

    // What the device logged, for a failure's message.
    static std::string EventsOf(const DeviceSimulator& device)
    {
        std::string text = "\nthe device's events:";
        for (const std::string& line : device.Events())
            text += "\n  " + line;
        return text;
    }

    // A settings archive packed by the host's own packer from files of these sizes (noise, so that
    // the archive is about as big as the files); the files' names and contents.
    std::map<std::string, std::string> Archive(const std::string& name, const std::vector<std::size_t>& sizes)
    {
        expected_.insert(name + ".zip");
        expected_.insert("source-" + name);
        const fs::path source = folder_.path() / ("source-" + name);
        fs::create_directories(source);
        std::map<std::string, std::string> files;
        std::vector<std::string> names;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            names.push_back("file" + std::to_string(i) + ".ORI");
            files[names.back()] = NoiseBytes(sizes[i], static_cast<std::uint32_t>(100 + i));
            WriteBytes(source / names.back(), files[names.back()]);
        }
        EXPECT_EQ(quillon().ComPressSet(source.string(), names, ArchivePath(name).string()), 0);
        return files;
    }
    fs::path ArchivePath(const std::string& name) const { return folder_.path() / (name + ".zip"); }

    SimulatorOptions Options(Link link, const std::string& state = "state")
    {
        SimulatorOptions options;
        options.transport = link == Link::Tcp ? sim::Transport::Tcp : sim::Transport::Pty;
        options.port = quillon().GetListeningPort();
        options.stateFolder = folder_.path() / state;
        options.name = "FAULTY-UNIT1";
        expected_.insert(state);
        return options;
    }

    // Starts a device (a serial one goes on the port list, after the ports already there) and waits
    // until the host has it on the link and has keyed it.
    DeviceSimulator& Connect(Link link, SimulatorOptions options)
    {
        DeviceSimulator& device =
            *devices_.emplace_back(std::make_unique<DeviceSimulator>(std::move(options)));
        EXPECT_EQ(device.Start(), "");
        if (!device.HostPortPath().empty()) {
            ports_.push_back(device.HostPortPath());
            serial::pin_ports(ports_);
        }
        EXPECT_TRUE(
            WaitFor([&] { return device.GetStats().sessions == 1; }, link == Link::Tcp ? 10s : kFound))
            << "the host never keyed the device" << EventsOf(device);
        // The link's watcher reports the device at its next pass.
        const int chosen = link == Link::Tcp ? kTcpLink : kSerialLink;
        EXPECT_TRUE(WaitFor([&] { return Registry().GetSeriOrTcp() == chosen; }))
            << "the host chose link " << Registry().GetSeriOrTcp();
        return device;
    }

    // Stops a device and lets go of its end of the link: a TCP connection closes, a pseudo-terminal's
    // master side closes. A serial port leaves the port list first, as an unplugged adapter leaves
    // the system's: once the host has let go of it, the system may hand its name to a pseudo-terminal
    // of another test running alongside, which this test's host must never open.
    void Unplug(DeviceSimulator& device)
    {
        if (std::erase(ports_, device.HostPortPath()) > 0)
            serial::pin_ports(ports_);
        std::erase_if(devices_, [&](const auto& d) { return d.get() == &device; });
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
        // Entries written out as the blocks came wait under temporary names, as the gathered blocks
        // do, until the transfer object goes.
        Tree unpacked = SnapshotTree(UnpackFolder());
        std::erase_if(unpacked, [](const auto& file) { return file.first.starts_with(".quillon-"); });
        EXPECT_EQ(TreeChanges(unpackedBefore_, unpacked), "");
        const fs::path part = DownloadPath() + ".part";
        if (fs::exists(part)) {
            expected_.insert("down.zip.part");  // until the transfer object goes
            EXPECT_LT(fs::file_size(part), fs::file_size(served)) << "the gathered blocks look complete";
        }
    }

    // The download finished, its last percentage in before the finish showed, and left these files.
    void ExpectDownloaded(const std::map<std::string, std::string>& files, std::chrono::seconds within = 20s)
    {
        ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }, within))
            << "the download never finished";
        EXPECT_EQ(Registry().GetReadRate(), 100);
        expected_.insert("down.zip");
        for (const auto& [name, content] : files) {
            expected_.insert("down/" + name);
            EXPECT_EQ(ReadBytes(UnpackFolder() / name), content) << name;
        }
        EXPECT_FALSE(fs::exists(DownloadPath() + ".part"));
    }

    TempFolder folder_;
    std::size_t threadsBefore_ = 0;
    const std::shared_ptr<OnlineReports> reports_ = std::make_shared<OnlineReports>();
    std::unique_ptr<CQuillon> quillon_;
    std::vector<std::unique_ptr<DeviceSimulator>> devices_;
    std::vector<std::string> ports_;
    std::set<std::string> expected_;
    Tree unpackedBefore_;
};

// Cases that both links carry alike.
class FaultOnEitherLink : public FaultHarness, public ::testing::WithParamInterface<Link> {
protected:
    bool Serial() const override { return link() == Link::Serial; }
    Link link() const { return GetParam(); }
    int chosen() const { return link() == Link::Tcp ? kTcpLink : kSerialLink; }
};

// How an operation fails when the device goes is the transfer suite's; here, what a dropped link
// leaves and how it comes back.
TEST_P(FaultOnEitherLink, DownloadCutOffHalfWayKeepsNothingAndTheLinkComesBackUnderANewKey)
{
    Archive("served", {20000});
    const int blocks = BlocksOf(ArchivePath("served"));
    ASSERT_GT(blocks, 3);
    constexpr int kCrossed = 2;
    SimulatorOptions options = Options(link());
    options.archive = ArchivePath("served");
    options.faults.disconnectAfter = kCrossed;
    DeviceSimulator& device = Connect(link(), options);
    const auto firstKey = device.GetStats().key;
    ASSERT_TRUE(firstKey);
    ASSERT_TRUE(WaitForTheNextKeySecond(*firstKey));

    StartDownload(0);
    // TCP: the device connects again and the host sees the connection go and come. Serial: the
    // device restarts and greets with no key, its port open all along, and the host's next port
    // search keys it again. A key made in a later second tells the new session from the old one.
    ASSERT_TRUE(WaitFor(
        [&] {
            const sim::Stats stats = device.GetStats();
            return stats.key.value_or(*firstKey) != *firstKey && stats.sessions > 1;
        },
        kKeyedAgain))
        << "the device was never keyed again" << EventsOf(device);
    EXPECT_EQ(Registry().GetSeriOrTcp(), chosen());
    EXPECT_TRUE(link() == Link::Serial || reports_->drops[kTcpLink] == 1)
        << "the host did not see the device go";
    EXPECT_TRUE(WaitFor([&] { return reports_->state[chosen()] == 1; })) << "the link is not online";
    EXPECT_TRUE(WaitFor([&] { return Registry().GetReadRate() == Percent(kCrossed, blocks); }));
    // Nothing tells the host that the device is gone: the download is still pending, which a host
    // sees as a stall.
    EXPECT_EQ(Registry().PendingOp.load(), pending::kDownload);
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_EQ(device.GetStats().blocksSent, kCrossed);
    ExpectNoTraceOfTheDownload(ArchivePath("served"));

    // The device answers under its new key; the probe also calls the download off there.
    EXPECT_TRUE(quillon().JudgeIsAvailable()) << EventsOf(device);
    EXPECT_EQ(device.GetStats().probes, 1);
    EXPECT_EQ(device.GetStats().downloadsServed, 0);
    ExpectNoTraceOfTheDownload(ArchivePath("served"));
    EXPECT_EQ(quillon().WriteFileVersion(1, 31), 0);
    EXPECT_EQ(device.GetStats().versionsWritten, 1);
    EXPECT_EQ(device.GetStats().badFrames, 0) << "the host spoke with a key the device did not have";
}

INSTANTIATE_TEST_SUITE_P(Links, FaultOnEitherLink, ::testing::Values(Link::Tcp, Link::Serial),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

class FaultOverSerial : public FaultHarness {
protected:
    bool Serial() const override { return true; }
};

// A serial port that goes away while the device is online (its pseudo-terminal closes under an
// upload): the link goes offline at once, the upload fails, and a device on a new port is found.
TEST_F(FaultOverSerial, PortThatVanishesGoesOfflineAndTheNextDeviceIsFound)
{
    const std::atomic<int>& state = reports_->state[kSerialLink];
    const std::atomic<int>& drops = reports_->drops[kSerialLink];
    Archive("up", {20000});
    const int blocks = BlocksOf(ArchivePath("up"));
    // At the pace of a real line the upload is still going when the port goes.
    SimulatorOptions firstOptions = Options(Link::Serial, "state-first");
    firstOptions.faults.lineRate = true;
    DeviceSimulator& first = Connect(Link::Serial, firstOptions);
    ASSERT_TRUE(WaitFor([&] { return state == 1; }, kFound));

    auto upload = OnHostThread([&] { return quillon().WriteSettoHard(ArchivePath("up").string(), 1); });
    ASSERT_TRUE(WaitFor([&] { return first.GetStats().blocksReceived >= 1; })) << EventsOf(first);
    ASSERT_LT(first.GetStats().blocksReceived, blocks);
    const auto vanished = Clock::now();
    Unplug(first);

    ASSERT_TRUE(WaitFor([&] { return drops == 1; }, kGone)) << "the link never went offline";
    EXPECT_LT(Clock::now() - vanished, 3s);
    ASSERT_EQ(upload.wait_for(kFailedOperation), std::future_status::ready);
    EXPECT_EQ(upload.get(), -1);
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_LT(Registry().GetWriteRate(), 100);
    // The link chosen stays the serial one, offline.
    EXPECT_EQ(Registry().GetSeriOrTcp(), kSerialLink);
    EXPECT_FALSE(quillon().JudgeIsAvailable());
    EXPECT_EQ(state, -1);

    SimulatorOptions secondOptions = Options(Link::Serial, "state-second");
    DeviceSimulator& second = Connect(Link::Serial, secondOptions);
    // A port search runs its trials on every listed port, so finding the device again takes seconds.
    EXPECT_TRUE(WaitFor([&] { return state == 1; }, kFound)) << "the link never came back online";
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    // The last block's acknowledgement is still on its way when the test ends and the transfer
    // object goes, as in a program that has done its job: its delivery must not outlive the link.
    EXPECT_EQ(quillon().WriteSettoHard(ArchivePath("up").string(), 1), 0);
    EXPECT_EQ(Registry().GetWriteRate(), 100);
    EXPECT_TRUE(WaitFor([&] { return second.GetStats().uploadsStored == 1; }));
    EXPECT_EQ(ReadBytes(secondOptions.stateFolder / "kind-1.zip"), ReadBytes(ArchivePath("up")));
    EXPECT_EQ(drops, 1);
}

// At the pace of a real line (8N1 at 115200 baud) both transfers go through. The device's session
// ends with the host program, and the next one opens the port afresh and finds the device again.
TEST_F(FaultOverSerial, AtLineRateTransfersGoThroughAndTheNextHostFindsTheDeviceAgain)
{
    const auto files = Archive("up", {10000});
    SimulatorOptions options = Options(Link::Serial);
    options.faults.lineRate = true;
    DeviceSimulator& device = Connect(Link::Serial, options);

    // The host does not wait for the last block's acknowledgement, and this one lets go of the port
    // at once, as a program that has done its job: the upload is through when the device has the
    // last block.
    EXPECT_EQ(quillon().WriteSettoHard(ArchivePath("up").string(), 0), 0);
    quillon_.reset();
    ASSERT_TRUE(WaitFor([&] { return device.GetStats().uploadsStored == 1; }));
    // The key came twice, as a serial host sends it: one session, which ended as the host let go.
    ASSERT_TRUE(WaitFor([&] { return device.GetStats().sessionsEnded == 1; }));
    EXPECT_EQ(device.GetStats().sessions, 1);

    quillon_ = std::make_unique<CQuillon>(LoopbackLink());
    ASSERT_TRUE(WaitFor(
        [&] { return device.GetStats().sessions == 2 && Registry().GetSeriOrTcp() == kSerialLink; }, kFound))
        << "the next host never found the device" << EventsOf(device);
    StartDownload(0);
    ExpectDownloaded(files, 30s);
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    EXPECT_EQ(device.GetStats().badFrames, 0);
}

}  // namespace
}  // namespace quillon::testing
