// The transfer object against the simulated device over loopback TCP on port 8234: every
// operation works, a refusal of each one fails it, and a device that stops acknowledging, repeats
// the size, answers slowly or drops the link gives the host the outcome it is documented to give.
// A silent device and damaged download blocks are in the fault suite, on both links.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "device/HostWithDevice.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;
using sim::DeviceSimulator;
using sim::Faults;
using sim::Operation;
using sim::SimulatorOptions;

class HostOverTcp : public ::testing::Test {
protected:
    void SetUp() override { quillon_ = std::make_unique<CQuillon>(); }

    void TearDown() override
    {
        device_.reset();
        quillon_.reset();
    }

    SimulatorOptions Options()
    {
        SimulatorOptions options;
        options.stateFolder = folder_.path() / "state";
        options.name = "DEVICE-NAME1";
        return options;
    }

    // A new device (the one before goes away), connected and keyed.
    void Connect(SimulatorOptions options)
    {
        device_.reset();
        device_ = std::make_unique<DeviceSimulator>(std::move(options));
        ASSERT_EQ(device_->Start(), "");
        ASSERT_TRUE(WaitFor([&] { return device_->GetStats().sessions == 1; }))
            << "the device was never keyed";
        ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == 1; }));
    }
    void Connect(Faults faults = {})
    {
        SimulatorOptions options = Options();
        options.faults = std::move(faults);
        Connect(std::move(options));
    }

    sim::Stats stats() const { return device_->GetStats(); }
    CQuillon& quillon() { return *quillon_; }

    // A download into a fresh folder; the folder.
    fs::path StartDownload(char kind, const std::string& name)
    {
        const fs::path out = folder_.path() / name;
        fs::create_directories(out);
        quillon().SetUnzipfloderpath(out.string());
        quillon().ReadSetFromHard((folder_.path() / (name + ".zip")).string(), kind);
        return out;
    }

    TempFolder folder_;
    std::unique_ptr<CQuillon> quillon_;
    std::unique_ptr<DeviceSimulator> device_;
};

TEST_F(HostOverTcp, DownloadGivesBackWhatWasUploaded)
{
    Connect();
    const fs::path zip = folder_.path() / "up.zip";
    const auto files = PackArchive(quillon(), folder_.path() / "package", {6000, 9000, 10}, zip);

    EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 1), 0);
    EXPECT_EQ(Registry().GetWriteRate(), 100);
    ASSERT_TRUE(WaitFor([&] { return stats().uploadsStored == 1; }));
    EXPECT_EQ(ReadBytes(folder_.path() / "state" / "kind-1.zip"), ReadBytes(zip));

    const fs::path out = StartDownload(1, "down");
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); })) << "the download never finished";
    EXPECT_EQ(Registry().GetReadRate(), 100);
    EXPECT_TRUE(HoldsExactly(out, files));
    ASSERT_TRUE(WaitFor([&] { return stats().downloadsServed == 1; }));
}

TEST_F(HostOverTcp, VersionsRecordAndProbe)
{
    Connect();
    EXPECT_TRUE(quillon().JudgeIsAvailable());
    EXPECT_EQ(quillon().WriteFileVersion(2, 42), 0);
    EXPECT_EQ(quillon().ReadFileVersion(2), 42);

    // The directory is named after the device until the host writes a record with another name.
    const std::wstring folder = folder_.path().wstring();
    EXPECT_EQ(quillon().CheckDeviceSETDir(folder), 0);
    EXPECT_TRUE(fs::is_directory(folder_.path() / "DEVICE-NAME1"));
    char name[] = "WRITTEN-NAME";
    quillon().WriteDeviceMsg(name);
    ASSERT_TRUE(WaitFor([&] { return stats().recordsWritten == 1; }));
    EXPECT_EQ(quillon().CheckDeviceSETDir(folder), 0);
    EXPECT_TRUE(fs::is_directory(folder_.path() / "WRITTEN-NAME"));
    EXPECT_NE(ReadBytes(folder_.path() / "state" / "device-record.txt").find("name: WRITTEN-NAME\n"),
              std::string::npos);
}

TEST_F(HostOverTcp, RefusalsFailTheOperationAndBringTheAbortCommand)
{
    const fs::path zip = folder_.path() / "up.zip";
    PackArchive(quillon(), folder_.path() / "package", {5000}, zip);
    WriteBytes(folder_.path() / "served.zip", ReadBytes(zip));

    struct Case {
        Operation operation;
        std::function<bool()> failed;  // runs the operation; whether the host saw it fail
    };
    const std::vector<Case> cases = {
        {Operation::Upload, [&] { return quillon().WriteSettoHard(zip.string(), 0) == -1; }},
        {Operation::VersionWrite, [&] { return quillon().WriteFileVersion(0, 1) == -1; }},
        {Operation::VersionRead, [&] { return quillon().ReadFileVersion(0) == -1; }},
        {Operation::Download,
         [&] {
             const fs::path out = StartDownload(0, "down");
             // The host answers the refusal with the abort command; the download is over then.
             return WaitFor([&] { return stats().probes >= 1; }) && !Registry().GetReadfinish() &&
                    fs::is_empty(out);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::OperationName(c.operation));
        SimulatorOptions options = Options();
        options.archive = folder_.path() / "served.zip";
        options.faults.Refuse(c.operation);
        Connect(options);
        EXPECT_TRUE(c.failed());
        EXPECT_TRUE(WaitFor([&] { return stats().probes >= 1; })) << "no abort command came";
        EXPECT_EQ(stats().refusals, 1);
    }
}

TEST_F(HostOverTcp, UploadThatIsNoLongerAcknowledgedFailsAtItsBlock)
{
    constexpr int kBlocksAllowed = 2;
    Connect({.stopAcksAfter = kBlocksAllowed});
    const fs::path zip = folder_.path() / "up.zip";
    PackArchive(quillon(), folder_.path() / "package", {20000}, zip);

    EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 0), -1);
    EXPECT_EQ(Registry().GetWriteRate(), Percent(kBlocksAllowed, BlocksOf(zip)));
    EXPECT_FALSE(Registry().GetWritefinish());
    EXPECT_FALSE(fs::exists(folder_.path() / "state" / "kind-0.zip"));
}

TEST_F(HostOverTcp, TransfersSurviveARepeatedSizeAndASlowDevice)
{
    const fs::path zip = folder_.path() / "served.zip";
    const auto files = PackArchive(quillon(), folder_.path() / "package", {5000, 5000}, zip);
    constexpr auto kDelay = 150ms;
    struct Case {
        const char* name;
        Faults faults;
    };
    for (const Case& c :
         {Case{"size repeated", {.repeatSize = true}}, Case{"every frame delayed", {.delay = kDelay}}}) {
        SCOPED_TRACE(c.name);
        SimulatorOptions options = Options();
        options.archive = zip;
        options.faults = c.faults;
        Connect(options);
        const fs::path out = StartDownload(0, std::string("down-") + c.name);
        ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); })) << "the download never finished";
        EXPECT_TRUE(HoldsExactly(out, files));

        // An upload waits for each acknowledgement: the command's, the size's and every block's but
        // the last.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 3), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, (1 + BlocksOf(zip)) * c.faults.delay);
    }
}

TEST_F(HostOverTcp, DroppedLinkIsSeenByTheHost)
{
    // Shared with the link watcher's thread, which may still be in the callback as the test ends.
    struct Seen {
        std::atomic<bool> online{false};
        std::atomic<int> drops{0};
    };
    const auto seen = std::make_shared<Seen>();
    Registry().SetDeviceOnline([seen](int state, int link) {
        if (link != 1)
            return;
        if (state == 1)
            seen->online = true;
        else if (seen->online.exchange(false))
            ++seen->drops;
    });
    struct Unregister {
        ~Unregister() { Registry().SetDeviceOnline(nullptr); }
    } unregister;
    std::atomic<bool>& online = seen->online;
    std::atomic<int>& drops = seen->drops;
    const fs::path zip = folder_.path() / "served.zip";
    PackArchive(quillon(), folder_.path() / "package", {5000, 5000}, zip);
    SimulatorOptions options = Options();
    options.archive = zip;
    options.faults.disconnectAfter = 1;
    Connect(options);
    ASSERT_TRUE(WaitFor([&] { return online.load(); }));

    EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 0), -1);
    EXPECT_EQ(Registry().GetWriteRate(), Percent(1, BlocksOf(zip)));
    ASSERT_TRUE(WaitFor([&] { return drops == 1; })) << "the host never saw the device go";

    // The device comes back with a new connection and a new key; the next transfer drops too.
    ASSERT_TRUE(WaitFor([&] { return stats().sessions == 2 && online; }));
    const fs::path out = StartDownload(0, "down");
    ASSERT_TRUE(WaitFor([&] { return drops == 2; }));
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_TRUE(fs::is_empty(out));
}

}  // namespace
}  // namespace quillon::testing
