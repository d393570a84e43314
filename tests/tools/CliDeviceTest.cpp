// The quillon tool against the real device simulator: the device commands over TCP and over a
// pseudo-terminal, and each way a command can fail as the tool tells it, with the exit code, the
// reason and the files a failure must not leave behind. How the library meets each fault is tested
// in the transfer suite; here, what the tool makes of it.
#include <gtest/gtest.h>

#include <asio.hpp>

#include "support/tooling/PseudoTerminalPair.h"
#include "tools/CliTestSupport.h"

namespace quillon::testing {
namespace {

constexpr auto npos = std::string::npos;

// ---- success ----

struct RoundTripCase {
    const char* name;
    int kind;
    std::size_t extraBytes;
    bool uploadZip;  // upload an archive made with pack, instead of the folder
    friend void PrintTo(const RoundTripCase& test, std::ostream* out) { *out << test.name; }
};

class CliTcpRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CliTcpRoundTrip, UploadThenDownloadGivesThePackageBack)
{
    const RoundTripCase& test = GetParam();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = test.extraBytes});
    SimulatedDevice device(folder.path());
    ASSERT_EQ(Quillon("pack @/package @/package.zip", folder.path()).exitCode, 0);
    const std::string kind = std::to_string(test.kind);

    const Json uploaded =
        Succeeds(std::string("upload @/package") + (test.uploadZip ? ".zip" : "") + " --kind " + kind,
                 folder.path(), &device);
    const fs::path stored = device.stored(test.kind);
    EXPECT_EQ(uploaded["link"], "tcp");
    EXPECT_EQ(uploaded["percent"], "100");
    EXPECT_EQ(uploaded["kind"], kind);
    ASSERT_TRUE(fs::exists(stored)) << device.log();
    EXPECT_EQ(uploaded["bytes"], std::to_string(fs::file_size(stored)));
    // A folder is packed first; an archive goes as it is.
    EXPECT_EQ(uploaded.isNull("files"), test.uploadZip);
    EXPECT_EQ(uploaded.items("files").size(), test.uploadZip ? 0u : 4u);
    EXPECT_TRUE(!test.uploadZip || ReadBytes(stored) == ReadBytes(folder.path() / "package.zip"));

    const fs::path archive = folder.path() / "download.zip";
    const Json downloaded =
        Succeeds("download @/download.zip @/unpacked --kind " + kind, folder.path(), &device);
    EXPECT_EQ(downloaded["bytes"], std::to_string(fs::file_size(archive)));
    EXPECT_EQ(ReadBytes(archive), ReadBytes(stored));
    EXPECT_EQ(TreeChanges(SnapshotTree(folder.path() / "package"), SnapshotTree(folder.path() / "unpacked")),
              "");
    EXPECT_FALSE(fs::exists(archive.string() + ".part"));
}

const RoundTripCase kRoundTrips[] = {
    {"FolderAsKind0", 0, 0, false},
    {"ZipOfManyBlocksAsKind200", 200, 40000, true},
};
INSTANTIATE_TEST_SUITE_P(Table, CliTcpRoundTrip, ::testing::ValuesIn(kRoundTrips), kCaseName);

TEST(CliTcp, StatusProbeDevdirRecordAndVersions)
{
    TempFolder folder;
    const fs::path sets = folder.path() / "sets";
    fs::create_directories(sets);
    SimulatedDevice device(folder.path(), "", "QUILLONTEST1");

    const ProcessResult status = device.Run("status");
    ASSERT_EQ(status.exitCode, 0) << Describe(status);
    EXPECT_EQ(status.out, "device online on TCP\n");
    const Json probe = Succeeds("probe", {}, &device);
    EXPECT_EQ(probe["link"], "tcp");
    EXPECT_EQ(probe["answered"], "true");

    // The device's folder is made once, named as the device names itself.
    const Json made = Succeeds("devdir @/sets", folder.path(), &device);
    EXPECT_EQ(made["name"], "QUILLONTEST1");
    EXPECT_EQ(made["created"], "true");
    EXPECT_EQ(made["path"], (sets / "QUILLONTEST1").string());
    EXPECT_TRUE(fs::is_directory(sets / "QUILLONTEST1"));
    EXPECT_EQ(Succeeds("devdir @/sets", folder.path(), &device)["created"], "false");

    // A new record renames the device.
    EXPECT_EQ(Succeeds("record RENAMED-0042", {}, &device)["name"], "RENAMED-0042");
    EXPECT_NE(ReadBytes(device.state() / "device-record.txt").find("name: RENAMED-0042"), npos)
        << device.log();
    EXPECT_EQ(Succeeds("devdir @/sets", folder.path(), &device)["name"], "RENAMED-0042");
    EXPECT_TRUE(fs::is_directory(sets / "RENAMED-0042"));

    // A name with control characters names no folder, and reaches the terminal escaped, and a
    // script exactly.
    WriteBytes(device.state() / "device-record.txt", "name: \\x1B]0;\\\\x07\\x07\\xC2\\x9BA\n");
    const ProcessResult hostile = device.Run("devdir @/sets", folder.path());
    EXPECT_EQ(hostile.exitCode, 1);
    EXPECT_NE(hostile.err.find("name \"\\x1B]0;\\x5Cx07\\x07\\xC2\\x9BA\" cannot be"), npos)
        << Describe(hostile);
    const ProcessResult script = device.Run("devdir @/sets --json", folder.path());
    EXPECT_NE(script.out.find(R"("name":"\u001b]0;\\x07\u0007\u009bA")"), npos) << Describe(script);

    // A version as a person reads it, and the largest as a script does.
    Succeeds("version set 123456 --kind 1", {}, &device);
    Succeeds("version set 2147483647 --kind 2", {}, &device);
    EXPECT_EQ(device.Run("version get --kind 1").out, "kind 1: version 123456\n");
    EXPECT_EQ(Succeeds("version get --kind 2", {}, &device)["version"], "2147483647");
}

// The transfers themselves over a serial line are tested in the fault suite, at a real line's pace.
TEST(CliSerial, FindsTheDeviceOnTheSerialPortItIsGiven)
{
    if (!PseudoTerminalPair::Supported())
        GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
    TempFolder folder;
    SimulatedDevice device(folder.path(), "--pty");
    ASSERT_DEVICE_STARTED(device);

    const ProcessResult status = device.Run("status");
    ASSERT_EQ(status.exitCode, 0) << Describe(status) << device.log();
    EXPECT_EQ(status.out, "device online on serial port " + device.ptyPath() + "\n");
    const Json probe = Succeeds("probe", {}, &device);
    EXPECT_EQ(probe["link"], "serial");
    EXPECT_EQ(probe["serial_port"], device.ptyPath());
    EXPECT_EQ(probe["answered"], "true");

    // Searched with others, the device's port is the one that answers.
    const ProcessResult ports = Quillon(
        "ports --probe --wait 8 --serial-port @/ttyNone --serial-port " + device.ptyPath(), folder.path());
    ASSERT_EQ(ports.exitCode, 0) << Describe(ports) << device.log();
    std::istringstream rows(ports.out);
    std::string none;
    std::string found;
    std::getline(rows, none);
    std::getline(rows, found);
    EXPECT_TRUE(none.find("ttyNone") != npos && none.ends_with("  no such port")) << Describe(ports);
    EXPECT_TRUE(found.starts_with(device.ptyPath()) && found.ends_with("  device")) << Describe(ports);
}

// A name in the device's double-byte code page names a folder; the tool prints it as it is on disk.
TEST(CliTcp, DevdirNamesTheFolderAsItIsOnDisk)
{
#if defined(_WIN32)
    GTEST_SKIP() << "messages show paths in the ANSI code page";
#else
    TempFolder folder;
    fs::create_directories(folder.path() / "sets\xC3\xA4");  // a folder of the user's, in UTF-8
    SimulatedDevice device(folder.path(), "",
                           "\xC4\xE3"
                           "BCDEFGHIJK");  // U+4F60 and ten letters
    const Json made = Succeeds("devdir @/sets\xC3\xA4", folder.path(), &device);
    const fs::path path = folder.path() / "sets\xC3\xA4" /
                          "\xE4\xBD\xA0"
                          "BCDEFGHIJK";
    EXPECT_EQ(made["path"], path.string());
    EXPECT_TRUE(fs::is_directory(path));
#endif
}

// ---- faults ----

struct FaultCase {
    const char* name;
    const char* device;   // the simulator's fault options; "@" stands for the test's folder
    const char* command;  // likewise
    const char* reason;
    const char* says;
    friend void PrintTo(const FaultCase& test, std::ostream* out) { *out << test.name; }
};

class CliFault : public ::testing::TestWithParam<FaultCase> {};

// A package that takes several blocks, so faults at block 1 and 2 happen inside a transfer.
constexpr std::size_t kSeveralBlocks = 20000;

// One case for each way the tool tells a command's failure apart.
TEST_P(CliFault, GivesTheDocumentedExitCodeReasonAndMessageAndLeavesNothingBroken)
{
    const FaultCase& fault = GetParam();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = kSeveralBlocks});
    ASSERT_EQ(Quillon("pack @/package @/served.zip", folder.path()).exitCode, 0);
    WriteBytes(folder.path() / "garbage.zip", NoiseBytes(9000, 3));
    // What the user already has: an unpacking folder with a file of its own, and an archive of the
    // download's name, which a failed download leaves exactly as it was.
    fs::create_directories(folder.path() / "target");
    WriteBytes(folder.path() / "target" / "AB12XY345678.ORI", "the user's own copy");
    WriteBytes(folder.path() / "download.zip", "an earlier download");
    Tree before = SnapshotTree(folder.path());

    // The device serves the packed package for a kind never uploaded, unless told otherwise.
    std::string options = fault.device;
    if (options.find("--archive") == npos)
        options += " --archive @/served.zip";
    SimulatedDevice device(folder.path(), options);

    const ProcessResult run = device.Run(std::string(fault.command) + " --json", folder.path());
    ASSERT_EQ(run.exitCode, 1) << Describe(run) << device.log();
    const Json json = JsonOf(run);
    EXPECT_EQ(json["reason"], fault.reason) << Describe(run) << device.log();
    for (const std::string& text : {json["error"], run.err})
        EXPECT_NE(text.find(fault.says), npos) << Describe(run) << device.log();
    const std::string command = Words(fault.command)[0];

    // No partial archive, the earlier one whole, no new or changed unpacking folder, nothing stored.
    Tree after = SnapshotTree(folder.path());
    std::erase_if(after, [](const auto& entry) { return entry.first.rfind("device", 0) == 0; });
    EXPECT_EQ(TreeChanges(before, after), "") << "a failed " << fault.command << " left this behind";
    EXPECT_FALSE(command == "upload" && fs::exists(device.stored(0))) << "the device stored a broken upload";
}

constexpr const char* kUpload = "upload @/package";
constexpr const char* kDownload = "download @/download.zip @/target --stall 1";

const FaultCase kFaults[] = {
    {"RefusedUpload", "--refuse upload", kUpload, "refused", "refused the upload of kind 0"},
    {"RefusedDownloadIntoANewFolder", "--refuse download", "download @/download.zip @/new-folder --stall 1",
     "refused", "refused the download"},
    {"RefusedVersionRead", "--refuse version-read", "version get", "refused",
     "refused to report the version"},
    {"RefusedVersionWrite", "--refuse version-write", "version set 9", "refused", "refused version 9"},
    {"SilentProbe", "--silent", "probe", "no_answer", "did not answer the probe"},
    {"SilentUpload", "--silent", kUpload, "no_answer",
     "did not acknowledge the upload and no longer answers"},
    {"SilentDownload", "--silent", kDownload, "no_answer", "did not answer the download request"},
    {"SilentVersionRead", "--silent", "version get --kind 2", "no_answer",
     "did not report the version of kind 2"},
    {"SilentVersionWrite", "--silent", "version set 5", "no_answer", "did not acknowledge version 5"},
    {"SilentRecord", "--silent", "record QUILLONTEST2", "no_answer", "did not answer afterwards"},
    {"SilentDevdir", "--silent", "devdir @", "no_answer", "did not report its name"},
    {"AcksStopAfterTwoBlocks", "--stop-acks-after 2", kUpload, "stopped", "stopped acknowledging at"},
    {"CorruptBlock", "--corrupt-block 2", kDownload, "aborted", "the download broke off at"},
    {"DisconnectDuringDownload", "--disconnect-after 2", kDownload, "stalled", "stopped sending at"},
    {"ArchiveThatDoesNotUnpack", "--archive @/garbage.zip", kDownload, "not_unpacked", "does not unpack"},
};
INSTANTIATE_TEST_SUITE_P(Table, CliFault, ::testing::ValuesIn(kFaults), kCaseName);

// ---- no device, a taken port ----

// Given --port 0 the tool names the port it took, and looks for the device there.
TEST(CliTcp, NoDeviceWithinTheWaitIsExitCode3AndSaysWhereItLooked)
{
    const ProcessResult tcp = Quillon("status --wait 0.5 --json --port 0");
    EXPECT_EQ(tcp.exitCode, 3) << Describe(tcp);
    EXPECT_EQ(JsonOf(tcp)["reason"], "no_device");
    const std::string port = std::to_string(ListeningPort(tcp.err));
    EXPECT_NE(port, "0") << Describe(tcp);
    EXPECT_NE(tcp.err.find("no device on TCP port " + port + " after 0.5 s"), npos) << Describe(tcp);
    EXPECT_NE(tcp.err.find("--serial-port"), npos) << "tells how to search a serial line";
    EXPECT_GE(tcp.seconds, 0.5);
#if !defined(_WIN32)
    // The listening address from the environment, as --listen gives it.
    const ProcessResult listen =
        RunProcess({"env", "QUILLON_LISTEN=127.0.0.1", kQuillon, "status", "--wait", "0.2", "--port", "0"});
    EXPECT_NE(listen.err.find("no device on TCP 127.0.0.1 port "), npos) << Describe(listen);
#endif

    QUILLON_REQUIRE_PSEUDO_TERMINALS();  // a serial port without a device, and a terminal to wait on
    PseudoTerminalPair silent;
    ASSERT_TRUE(silent.ok()) << silent.error();
    const ProcessResult serial = Quillon("probe --wait 1.2 --port 0 --serial-port " + silent.slavePath(), {},
                                         {.stderrOnTerminal = true});
    EXPECT_EQ(serial.exitCode, 3) << Describe(serial);
    const std::string where =
        "TCP port " + std::to_string(ListeningPort(serial.err)) + " or serial port " + silent.slavePath();
    EXPECT_NE(serial.err.find("no device on " + where + " after 1.2 s"), npos) << Describe(serial);
    // A line counts the wait, and is blanked before the result.
    EXPECT_NE(serial.err.find("\rwaiting for a device on " + where + " ... 1 s"), npos) << Describe(serial);
    EXPECT_NE(serial.err.find(" \rquillon probe: no device"), npos) << Describe(serial);
}

TEST(CliTcp, ATakenDevicePortIsALocalProblemFoundAtOnce)
{
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io, {asio::ip::address_v4::any(), 0});
    const std::string port = std::to_string(holder.local_endpoint().port());
    const ProcessResult run = Quillon("status --wait 30 --json --port " + port);
    holder.close();
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    EXPECT_EQ(JsonOf(run)["reason"], "port_busy");
    EXPECT_NE(run.err.find("cannot listen on TCP port " + port + ": it is taken by another program"), npos)
        << Describe(run);
    EXPECT_LT(run.seconds, 5.0) << "did not wait for a device that could not come";
}

// The device's connection where --listen and --port say (the loopback, a free port: see
// SimulatedDevice::Run), and only from the peers --allow lets in; everyone else is turned away on
// arrival.
TEST(CliTcp, ListensWhereToldForTheAllowedPeersOnly)
{
    TempFolder folder;
    SimulatedDevice device(folder.path());

    const ProcessResult refused = device.Run("status --wait 1 -vv --allow 10.0.0.0/8 --allow fd00::/8");
    EXPECT_EQ(refused.exitCode, 3) << Describe(refused);
    EXPECT_NE(refused.err.find("refused: not in the allowed list"), npos) << Describe(refused);
    EXPECT_NE(
        refused.err.find("no device on TCP 127.0.0.1 port " + std::to_string(ListeningPort(refused.err))),
        npos)
        << Describe(refused);

    const ProcessResult allowed = device.Run("status --wait 20 --json --allow 127.0.0.0/8");
    EXPECT_EQ(allowed.exitCode, 0) << Describe(allowed);
    EXPECT_EQ(JsonOf(allowed)["link"], "tcp");
}

// ---- output: the library's lines, JSON, the progress bar ----

TEST(CliTcp, TheToolsAccountWithVTheLibrarysLinesWithVVAndProgressOnlyOnATerminal)
{
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = 120000});
    SimulatedDevice device(folder.path());

    const ProcessResult piped = device.Run("upload @/package", folder.path());
    ASSERT_EQ(piped.exitCode, 0) << Describe(piped);
    EXPECT_EQ(piped.out.rfind("uploaded ", 0), 0u) << Describe(piped);
    EXPECT_EQ(piped.out.find("curindex--"), npos) << Describe(piped);
    EXPECT_EQ(piped.err, "listening for the device on TCP 127.0.0.1 port " +
                             std::to_string(ListeningPort(piped.err)) + "\n")
        << "nothing but errors and the port asked for goes to a standard error that is no terminal";

    const ProcessResult told = device.Run("upload @/package -v", folder.path());
    ASSERT_EQ(told.exitCode, 0) << Describe(told);
    EXPECT_NE(told.err.find("quillon: sending 12"), npos) << Describe(told);
    EXPECT_NE(told.err.find("quillon: every block sent after "), npos) << Describe(told);
    EXPECT_EQ(told.err.find("curindex--"), npos) << "-v is the tool's own account";
    const ProcessResult verbose = device.Run("upload @/package -vv --json", folder.path());
    ASSERT_EQ(verbose.exitCode, 0) << Describe(verbose);
    EXPECT_NE(verbose.err.find("curindex--0  sumsize--"), npos) << Describe(verbose);
    EXPECT_NE(verbose.err.find("finish---------------"), npos) << Describe(verbose);
    EXPECT_EQ(JsonOf(verbose)["ok"], "true") << "standard output holds the JSON object alone";

    QUILLON_REQUIRE_PSEUDO_TERMINALS();  // for the rest, which draws on a terminal
    const ProcessResult upload = device.Run("upload @/package", folder.path(), {.stderrOnTerminal = true});
    ASSERT_EQ(upload.exitCode, 0) << Describe(upload);
    EXPECT_NE(upload.err.find("upload   100% [########################]"), npos) << Describe(upload);
    EXPECT_NE(upload.err.find(" KiB of "), npos) << Describe(upload);
    EXPECT_NE(upload.err.find("/s"), npos) << Describe(upload);
    // At 60 columns every redraw stays within the line, and the download shows its total too.
    const ProcessResult download =
        device.Run("download @/d.zip @/out", folder.path(), {.stderrOnTerminal = true, .columns = 60});
    ASSERT_EQ(download.exitCode, 0) << Describe(download);
    EXPECT_NE(download.err.find("download 100% ["), npos) << Describe(download);
    EXPECT_NE(download.err.find(" KiB of "), npos) << Describe(download);
    std::istringstream redraws(download.err);
    for (std::string line; std::getline(redraws, line, '\r');) {
        const std::size_t last = line.find_last_not_of(" \n");
        EXPECT_TRUE(last == npos || last < 59) << "wider than the terminal: " << line;
    }
}

// A termination request during a transfer: what the command began is removed (the download's
// part and the folder it made, the upload's packed archive), the earlier archive stays, and the
// tool says so and exits as the signal asks.
TEST(CliTcp, AnInterruptedTransferLeavesEverythingAsItWas)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Ctrl+Break reaches a child only on a console of its own";
#else
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = 300000});
    ASSERT_EQ(Quillon("pack @/package @/served.zip", folder.path()).exitCode, 0);
    WriteBytes(folder.path() / "download.zip", "an earlier download");
    fs::create_directories(folder.path() / "tmp");
    // Where the upload packs, for this test alone.
    struct RestoredAfter {
        const char* old = std::getenv("TMPDIR");
        std::string kept = old ? old : "";
        ~RestoredAfter() { old ? ::setenv("TMPDIR", kept.c_str(), 1) : ::unsetenv("TMPDIR"); }
    } restored;
    ::setenv("TMPDIR", (folder.path() / "tmp").c_str(), 1);
    const Tree before = SnapshotTree(folder.path());
    SimulatedDevice device(folder.path(), "--archive @/served.zip --line-rate");

    for (const auto& [command, begun] :
         {std::pair{"download @/download.zip @/new-folder -v", "the blocks come in beside"},
          std::pair{"upload @/package -v", "quillon: sending"}}) {
        const ProcessResult run =
            device.Run(command, folder.path(),
                       {.whileRunning = [begun](const std::string& err) { return err.find(begun) != npos; },
                        .stopAfterWhileRunning = true});
        EXPECT_EQ(run.exitCode, 143) << Describe(run);
        EXPECT_NE(run.err.find(std::string("quillon ") + Words(command)[0] + ": terminated at "), npos)
            << Describe(run);
        Tree after = SnapshotTree(folder.path());
        std::erase_if(after, [](const auto& entry) { return entry.first.rfind("device", 0) == 0; });
        EXPECT_EQ(TreeChanges(before, after), "") << command << " left this behind";
    }
#endif
}

}  // namespace
}  // namespace quillon::testing
