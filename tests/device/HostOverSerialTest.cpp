// The transfer object against the simulated device on a pseudo-terminal that the device made: the
// host finds it by its port search, keys it, and runs every operation over the padded serial line,
// also at the pace of a real 115200-baud line. Finding the device costs a port trial of about four
// seconds, so each test carries several checks.
#include <gtest/gtest.h>

#include <chrono>

#include "device/HostWithDevice.h"
#include "support/PseudoTerminalPair.h"
#include "support/SerialPortList.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;
using sim::DeviceSimulator;
using sim::SimulatorOptions;

// A port trial takes about four seconds and the first search comes after a few hundred ms.
constexpr auto kFound = 20s;

class HostOverSerial : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PseudoTerminalPair::Supported())
            GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    }

    // Starts the device on a new pseudo-terminal, and a host that looks for it there only.
    void Start(bool lineRate)
    {
        SimulatorOptions options;
        options.transport = sim::Transport::Pty;
        options.stateFolder = folder_.path() / "state";
        options.name = "SERIAL-NAME1";
        options.faults.lineRate = lineRate;
        device_ = std::make_unique<DeviceSimulator>(options);
        ASSERT_EQ(device_->Start(), "");
        ASSERT_FALSE(device_->HostPortPath().empty());
        serial::pin_ports({device_->HostPortPath()});
        quillon_ = std::make_unique<CQuillon>();
        ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == 0; }, kFound))
            << "the host never found the device";
        ASSERT_TRUE(WaitFor([&] { return stats().sessions == 1; })) << "the device was never keyed";
    }

    void TearDown() override
    {
        quillon_.reset();
        device_.reset();
    }

    sim::Stats stats() const { return device_->GetStats(); }
    CQuillon& quillon() { return *quillon_; }

    // Downloads kind into a fresh folder and waits for it to be unpacked; the folder.
    fs::path Download(char kind, const std::string& name)
    {
        const fs::path out = folder_.path() / name;
        fs::create_directories(out);
        quillon().SetUnzipfloderpath(out.string());
        quillon().ReadSetFromHard((folder_.path() / (name + ".zip")).string(), kind);
        EXPECT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }, 30s)) << "the download never finished";
        return out;
    }

    TempFolder folder_;
    std::unique_ptr<DeviceSimulator> device_;
    std::unique_ptr<CQuillon> quillon_;
};

TEST_F(HostOverSerial, EveryOperationWorksAndTheSessionEndsWithTheHost)
{
    Start(false);
    EXPECT_TRUE(quillon().JudgeIsAvailable());

    const fs::path zip = folder_.path() / "up.zip";
    const auto files = PackArchive(quillon(), folder_.path() / "package", {7000, 3000}, zip);
    EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 2), 0);
    ASSERT_TRUE(WaitFor([&] { return stats().uploadsStored == 1; }));
    EXPECT_TRUE(HoldsExactly(Download(2, "down"), files));

    EXPECT_EQ(quillon().WriteFileVersion(1, 77), 0);
    EXPECT_EQ(quillon().ReadFileVersion(1), 77);

    char name[] = "WRITTEN-NAME";
    quillon().WriteDeviceMsg(name);
    ASSERT_TRUE(WaitFor([&] { return stats().recordsWritten == 1; }));
    EXPECT_EQ(quillon().CheckDeviceSETDir(folder_.path().wstring()), 0);
    EXPECT_TRUE(fs::is_directory(folder_.path() / "WRITTEN-NAME"));

    // The key came twice, as a serial host sends it: one session, which ends when the host lets go
    // of the port.
    EXPECT_EQ(stats().sessions, 1);
    EXPECT_EQ(stats().badFrames, 0);
    quillon_.reset();
    EXPECT_TRUE(WaitFor([&] { return stats().sessionsEnded == 1; }));
}

TEST_F(HostOverSerial, AtLineRateTransfersTakeTheirTimeOnTheWireAndTheNextHostFindsTheDeviceAgain)
{
    Start(true);
    const fs::path zip = folder_.path() / "up.zip";
    const auto files = PackArchive(quillon(), folder_.path() / "package", {10000}, zip);
    // The blocks alone need their time on the line (8N1 at 115200 baud: 11,520 bytes a second),
    // whatever else the transfer costs.
    const int blocks = BlocksOf(zip);
    const auto wireTime = std::chrono::duration<double>(blocks * kMaxFrameSize / 11520.0);

    // The host does not wait for the last block's acknowledgement, and this one lets go of the port
    // at once, as a program that has done its job: the upload is through when the device has the
    // last block.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quillon().WriteSettoHard(zip.string(), 0), 0);
    quillon_.reset();
    ASSERT_TRUE(WaitFor([&] { return stats().uploadsStored == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, wireTime);
    ASSERT_TRUE(WaitFor([&] { return stats().sessionsEnded == 1; }));

    // The next host program opens the port afresh, finds the device and is answered.
    quillon_ = std::make_unique<CQuillon>();
    ASSERT_TRUE(WaitFor([&] { return stats().sessions == 2; }, kFound)) << "the next host never found the device";
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(HoldsExactly(Download(0, "down"), files));
    EXPECT_GE(std::chrono::steady_clock::now() - start, wireTime);
    EXPECT_EQ(Registry().GetReadRate(), 100);
    EXPECT_TRUE(quillon().JudgeIsAvailable());
}

}  // namespace
}  // namespace quillon::testing
