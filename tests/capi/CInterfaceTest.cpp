// The C interface as a C host uses it: CInterfaceProgram, a C program, calls every function and
// checks what each returns; this side gives it a settings package, plays the device over TCP or a
// pseudo-terminal, and checks the files the program leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "common/PseudoTerminal.h"
#include "common/TempFolder.h"
#include "device/DeviceSimulator.h"
#include "tools/ToolProcess.h"
#include <quillon/quillon_c.h>

namespace quillon::testing {
namespace {

enum class Link { Tcp, Pty };

void PrintTo(Link link, std::ostream* out) { *out << (link == Link::Tcp ? "Tcp" : "Pty"); }

class CInterface : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(work_.path() / "package");
        fs::create_directories(work_.path() / "downloaded");
        WriteBytes(work_.path() / "package" / "DeviceSet.DST", "AB12XY345678\r\nBDB0001\r\n");
        WriteBytes(work_.path() / "package" / "AB12XY345678.ORI", NoiseBytes(64 * 1024, 1));
        WriteBytes(work_.path() / "package" / "AB12XY345678.RGF", "RGF\n");
        WriteBytes(work_.path() / "package" / "BDB0001.bdb", "bdb\n");
        WriteBytes(work_.path() / "download.zip", "the archive an earlier download left");
        WriteBytes(work_.path() / "downloaded" / "kept.txt", "unpacked earlier");
        options_.stateFolder = work_.path() / "device";
        // What the device serves for a kind never uploaded.
        options_.archive = work_.path() / "served.zip";
        ASSERT_EQ(quillon_pack(work_.str("package").c_str(), options_.archive.string().c_str()), QUILLON_OK);
        before_ = SnapshotTree(work_.path());
    }

    // Runs the program's scenario against the device, if any: on a pseudo-terminal, or started
    // against the TCP port the program names.
    ProcessResult Run(const std::string& scenario, std::optional<Link> link,
                      std::vector<std::string> more = {})
    {
        if (link == Link::Pty) {
            options_.transport = sim::Transport::Pty;
            device_ = std::make_unique<sim::DeviceSimulator>(options_);
            EXPECT_EQ(device_->Start(), "");
        }
        std::vector<std::string> argv = {QUILLON_C_PROGRAM_PATH, scenario, work_.str(),
                                         link == Link::Pty ? device_->HostPortPath() : "tcp"};
        argv.insert(argv.end(), more.begin(), more.end());
        RunOptions run{.deadline = std::chrono::seconds(60)};
        run.whileRunning = [&](const std::string& errors) {
            const auto at = errors.find("listening on port ");
            if (link != Link::Tcp || at == std::string::npos || errors.find('\n', at) == std::string::npos)
                return link != Link::Tcp;
            options_.port = std::atoi(errors.c_str() + at + 18);
            device_ = std::make_unique<sim::DeviceSimulator>(options_);
            return device_->Start().empty();
        };
        const ProcessResult result = RunProcess(argv, run);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }

    // What changed in the work folder since the test began, but below the folders named.
    std::string Changes(const std::vector<std::string>& except)
    {
        Tree after = SnapshotTree(work_.path());
        for (Tree* tree : {&before_, &after})
            std::erase_if(*tree, [&](const auto& entry) {
                return std::ranges::any_of(except,
                                           [&](const auto& top) { return entry.first.starts_with(top); });
            });
        return TreeChanges(before_, after);
    }

    TempFolder work_;
    sim::SimulatorOptions options_;
    std::unique_ptr<sim::DeviceSimulator> device_;
    Tree before_;
};

TEST_F(CInterface, WorksOnPackagesAndAnswersWithoutADevice)
{
    Run("local", std::nullopt);
    Tree expected = SnapshotTree(work_.path() / "package");
    EXPECT_EQ(TreeChanges(expected, SnapshotTree(work_.path() / "root" / "AB12XY345678")), "");
    expected.erase("AB12XY345678.RGF");
    expected["CheckSetInfo.TXT"] = "file:No AB12XY345678.RGF file\r\n";
    EXPECT_EQ(TreeChanges(expected, SnapshotTree(work_.path() / "unpacked")), "");
}

class CInterfaceOnLink : public CInterface, public ::testing::WithParamInterface<Link> {
protected:
    void SetUp() override
    {
        if (GetParam() == Link::Pty && !PseudoTerminal::Supported())
            GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
        CInterface::SetUp();
    }
};

TEST_P(CInterfaceOnLink, EveryDeviceFunctionWorks)
{
    const ProcessResult run = Run("device", GetParam());
    EXPECT_NE(run.err.find("device log "), std::string::npos) << "no diagnostics came to the callback";
    EXPECT_EQ(run.out, "") << "diagnostics went to standard output despite the callback";
    EXPECT_EQ(TreeChanges(SnapshotTree(work_.path() / "package"), SnapshotTree(work_.path() / "unpacked")),
              "");
    EXPECT_TRUE(fs::is_directory(work_.path() / "QUILLONC0001"));
}

TEST_P(CInterfaceOnLink, CancelledTransfersLeaveNothingHalfWritten)
{
    options_.faults.lineRate = true;  // slow enough for a transfer to be under way when cancelled
    Run("cancel", GetParam());
    EXPECT_EQ(Changes({"device"}), "");
    EXPECT_FALSE(fs::exists(options_.stateFolder / "kind-0.zip"));
}

INSTANTIATE_TEST_SUITE_P(Links, CInterfaceOnLink, ::testing::Values(Link::Tcp, Link::Pty),
                         [](const auto& info) { return info.param == Link::Tcp ? "Tcp" : "Pty"; });

// A device that makes one operation fail, and the code the program must see.
struct Failure {
    const char* name;
    sim::Faults faults;
    const char* operation;
    int code;
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class CInterfaceFailure : public CInterface, public ::testing::WithParamInterface<Failure> {};

TEST_P(CInterfaceFailure, GivesItsCodeAndLeavesTheDownloadAlone)
{
    options_.faults = GetParam().faults;
    Run("fails", Link::Tcp, {GetParam().operation, std::to_string(GetParam().code)});
    EXPECT_EQ(Changes({"device"}), "");
}

constexpr unsigned Refuse(sim::Operation operation) { return sim::Faults::Bit(operation); }

INSTANTIATE_TEST_SUITE_P(
    Faults, CInterfaceFailure,
    ::testing::Values(
        Failure{"RefusedUpload", {.refused = Refuse(sim::Operation::Upload)}, "upload", QUILLON_E_REFUSED},
        Failure{
            "RefusedDownload", {.refused = Refuse(sim::Operation::Download)}, "download", QUILLON_E_REFUSED},
        Failure{"RefusedVersionRead",
                {.refused = Refuse(sim::Operation::VersionRead)},
                "read-version",
                QUILLON_E_REFUSED},
        Failure{"RefusedVersionWrite",
                {.refused = Refuse(sim::Operation::VersionWrite)},
                "write-version",
                QUILLON_E_REFUSED},
        Failure{"Silent", {.silent = true}, "probe", QUILLON_E_NO_ANSWER},
        Failure{"UploadAcksStop", {.stopAcksAfter = 2}, "upload", QUILLON_E_BROKEN_OFF},
        Failure{"DownloadBlockDamaged", {.corruptBlock = 2}, "download", QUILLON_E_BROKEN_OFF}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::testing
