// The quillon tool against the real device simulator: every command over TCP, the common ones
// over a pseudo-terminal, and each fault the simulator can commit, with the exit code, the reason
// and the files a failure must not leave behind.
#include <gtest/gtest.h>

#include <asio.hpp>

#include "tools/CliTestSupport.h"

namespace quillon::testing {
namespace {

// A package that takes several blocks, so faults at block 1 and 2 happen inside a transfer.
constexpr std::size_t kSeveralBlocks = 20000;

// The device's side: what it stored for a kind.
fs::path StoredUpload(const SimulatedDevice& device, int kind)
{
    return device.state() / ("kind-" + std::to_string(kind) + ".zip");
}

#define ASSERT_DEVICE_STARTED(device)                                                                        \
    ASSERT_TRUE((device).ok()) << "the simulator did not start\n" << (device).log()

// ---- success over TCP ----

struct RoundTripCase {
    const char* name;
    int kind;
    std::size_t extraBytes;
    bool uploadZip; // upload an archive made with pack, instead of the folder
};

void PrintTo(const RoundTripCase& test, std::ostream* out)
{
    *out << test.name;
}

class CliTcpRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CliTcpRoundTrip, UploadThenDownloadGivesThePackageBack)
{
    QUILLON_REQUIRE_DEVICE();
    const RoundTripCase& test = GetParam();
    TempFolder folder;
    const fs::path package = folder.path() / "package";
    MakePackage(package, {.extraBytes = test.extraBytes});
    SimulatedDevice device(folder.path(), {});
    ASSERT_DEVICE_STARTED(device);

    std::string source = package.string();
    if (test.uploadZip) {
        source = folder.str("package.zip");
        ASSERT_EQ(Quillon({"pack", package.string(), source}).exitCode, 0);
    }
    const std::string kind = std::to_string(test.kind);
    const ProcessResult upload = Quillon({"upload", source, "--kind", kind, "--json"});
    ASSERT_EQ(upload.exitCode, 0) << Describe(upload) << device.log();
    const JsonObject uploaded = JsonOf(upload);
    EXPECT_EQ(Text(uploaded, "link"), "tcp");
    EXPECT_EQ(Text(uploaded, "percent"), "100");
    EXPECT_EQ(Text(uploaded, "kind"), kind);
    ASSERT_TRUE(fs::exists(StoredUpload(device, test.kind))) << device.log();
    EXPECT_EQ(Text(uploaded, "bytes"), std::to_string(fs::file_size(StoredUpload(device, test.kind))));
    if (test.uploadZip) {
        EXPECT_EQ(ReadBytes(StoredUpload(device, test.kind)), ReadBytes(source));
        EXPECT_TRUE(IsNull(uploaded, "files"));
    } else {
        EXPECT_EQ(Items(uploaded, "files").size(), 4u);
    }

    const fs::path archive = folder.path() / "download.zip";
    const fs::path unpacked = folder.path() / "unpacked";
    const ProcessResult download =
        Quillon({"download", archive.string(), unpacked.string(), "--kind", kind, "--json"});
    ASSERT_EQ(download.exitCode, 0) << Describe(download) << device.log();
    EXPECT_EQ(Text(JsonOf(download), "bytes"), std::to_string(fs::file_size(archive)));
    EXPECT_EQ(ReadBytes(archive), ReadBytes(StoredUpload(device, test.kind)));
    EXPECT_EQ(TreeChanges(FilesOf(package), FilesOf(unpacked)), "");
    EXPECT_FALSE(fs::exists(archive.string() + ".part"));
}

INSTANTIATE_TEST_SUITE_P(Table, CliTcpRoundTrip,
                         ::testing::Values(RoundTripCase{"FolderAsKind0", 0, 0, false},
                                           RoundTripCase{"ZipAsKind200", 200, 0, true},
                                           RoundTripCase{"SeventyBlocksAsKind1", 1, 280000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliTcp, StatusProbeDevdirAndRecord)
{
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    SimulatedDevice device(folder.path(), {}, "QUILLONTEST1");
    ASSERT_DEVICE_STARTED(device);

    const ProcessResult status = Quillon({"status"});
    ASSERT_EQ(status.exitCode, 0) << Describe(status);
    EXPECT_EQ(status.out, "device online on TCP\n");
    EXPECT_EQ(Text(JsonOf(Quillon({"status", "--json"})), "link"), "tcp");

    const ProcessResult probe = Quillon({"probe", "--json"});
    ASSERT_EQ(probe.exitCode, 0) << Describe(probe);
    EXPECT_EQ(Text(JsonOf(probe), "answered"), "true");

    // The device's folder is made once, named as the device names itself.
    fs::create_directories(folder.path() / "sets");
    const ProcessResult first = Quillon({"devdir", folder.str("sets"), "--json"});
    ASSERT_EQ(first.exitCode, 0) << Describe(first) << device.log();
    JsonObject made = JsonOf(first);
    EXPECT_EQ(Text(made, "name"), "QUILLONTEST1");
    EXPECT_EQ(Text(made, "created"), "true");
    EXPECT_EQ(Text(made, "path"), (folder.path() / "sets" / "QUILLONTEST1").string());
    EXPECT_TRUE(fs::is_directory(folder.path() / "sets" / "QUILLONTEST1"));
    const ProcessResult second = Quillon({"devdir", folder.str("sets"), "--json"});
    ASSERT_EQ(second.exitCode, 0) << Describe(second);
    EXPECT_EQ(Text(JsonOf(second), "created"), "false");

    // A new record renames the device.
    const ProcessResult record = Quillon({"record", "RENAMED-0042", "--json"});
    ASSERT_EQ(record.exitCode, 0) << Describe(record) << device.log();
    EXPECT_EQ(Text(JsonOf(record), "name"), "RENAMED-0042");
    EXPECT_NE(ReadBytes(device.state() / "device-record.txt").find("name: RENAMED-0042"), std::string::npos)
        << device.log();
    const ProcessResult renamed = Quillon({"devdir", folder.str("sets"), "--json"});
    ASSERT_EQ(renamed.exitCode, 0) << Describe(renamed);
    EXPECT_EQ(Text(JsonOf(renamed), "name"), "RENAMED-0042");
    EXPECT_TRUE(fs::is_directory(folder.path() / "sets" / "RENAMED-0042"));
}

TEST(CliTcp, VersionsWrittenAreReadBackPerKind)
{
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    SimulatedDevice device(folder.path(), {});
    ASSERT_DEVICE_STARTED(device);
    const std::vector<std::pair<int, std::string>> versions = {{0, "7"}, {1, "123456"}, {2, "2147483647"}};
    for (const auto& [kind, version] : versions) {
        const ProcessResult set = Quillon({"version", "set", version, "--kind", std::to_string(kind)});
        ASSERT_EQ(set.exitCode, 0) << Describe(set) << device.log();
    }
    for (const auto& [kind, version] : versions) {
        const ProcessResult get = Quillon({"version", "get", "--kind", std::to_string(kind), "--json"});
        ASSERT_EQ(get.exitCode, 0) << Describe(get) << device.log();
        EXPECT_EQ(Text(JsonOf(get), "version"), version) << "kind " << kind;
    }
    const ProcessResult text = Quillon({"version", "get", "--kind", "1"});
    EXPECT_EQ(text.out, "kind 1: version 123456\n");
}

// ---- faults ----

struct FaultCase {
    const char* name;
    std::vector<std::string> device;  // the simulator's fault options
    std::vector<std::string> command; // "@" stands for the test's folder
    int exitCode;
    const char* reason;
    const char* says;
};

void PrintTo(const FaultCase& test, std::ostream* out)
{
    *out << test.name;
}

class CliFault : public ::testing::TestWithParam<FaultCase> {};

// In a case's device options: start the simulator without an archive to serve.
const std::string kServeNothing = "(no archive)";

TEST_P(CliFault, GivesTheDocumentedExitCodeReasonAndMessage)
{
    QUILLON_REQUIRE_DEVICE();
    const FaultCase& fault = GetParam();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = kSeveralBlocks});
    ASSERT_EQ(Quillon({"pack", folder.str("package"), folder.str("served.zip")}).exitCode, 0);
    WriteBytes(folder.path() / "garbage.zip", NoiseBytes(9000, 3));
    // An unpacking folder that already holds something of the user's, which must stay as it is.
    fs::create_directories(folder.path() / "target");
    WriteBytes(folder.path() / "target" / "AB12XY345678.ORI", "the user's own copy");
    const Tree targetBefore = SnapshotTree(folder.path() / "target");

    // The device serves the packed package for a kind never uploaded, unless told otherwise.
    std::vector<std::string> options;
    bool serve = true;
    for (const auto& option : fault.device) {
        if (option == kServeNothing)
            serve = false;
        else
            options.push_back(option[0] == '@' ? folder.str() + option.substr(1) : option);
    }
    if (serve && std::find(options.begin(), options.end(), "--archive") == options.end())
        options.insert(options.end(), {"--archive", folder.str("served.zip")});
    SimulatedDevice device(folder.path(), options);
    ASSERT_DEVICE_STARTED(device);

    std::vector<std::string> command;
    for (std::string argument : fault.command)
        command.push_back(argument[0] == '@' ? folder.str() + argument.substr(1) : argument);
    command.push_back("--json");
    const ProcessResult run = Quillon(command);
    ASSERT_EQ(run.exitCode, fault.exitCode) << Describe(run) << device.log();
    const JsonObject json = JsonOf(run);
    EXPECT_EQ(Text(json, "reason"), fault.exitCode == 0 ? "" : fault.reason) << Describe(run) << device.log();
    if (fault.exitCode != 0) {
        EXPECT_NE(Text(json, "error").find(fault.says), std::string::npos) << Describe(run) << device.log();
        EXPECT_NE(run.err.find(fault.says), std::string::npos) << Describe(run);
    }

    if (fault.command[0] == "download") {
        const fs::path archive = folder.path() / "download.zip";
        EXPECT_FALSE(fs::exists(archive.string() + ".part")) << "a partial archive stayed behind";
        if (fault.exitCode == 0) {
            EXPECT_EQ(ReadBytes(archive), ReadBytes(folder.path() / "served.zip"));
        } else {
            EXPECT_FALSE(fs::exists(archive)) << "a failed download left an archive that looks complete";
            EXPECT_EQ(TreeChanges(targetBefore, SnapshotTree(folder.path() / "target")), "")
                << "a failed download changed the unpacking folder";
        }
    }
    if (fault.command[0] == "upload" && fault.exitCode != 0) {
        EXPECT_FALSE(fs::exists(StoredUpload(device, 0))) << "the device stored a broken upload";
    }
}

const std::vector<std::string> kUpload = {"upload", "@/package"};
const std::vector<std::string> kDownload = {"download", "@/download.zip", "@/target", "--stall", "1"};

INSTANTIATE_TEST_SUITE_P(
    Table, CliFault,
    ::testing::Values(
        FaultCase{
            "RefusedUpload", {"--refuse", "upload"}, kUpload, 1, "refused", "refused the upload of kind 0"},
        FaultCase{
            "RefusedDownload", {"--refuse", "download"}, kDownload, 1, "refused", "refused the download"},
        FaultCase{"DownloadOfAKindWithNothingToServe",
                  {kServeNothing},
                  kDownload,
                  1,
                  "refused",
                  "refused the download of kind 0"},
        FaultCase{"RefusedVersionRead",
                  {"--refuse", "version-read"},
                  {"version", "get"},
                  1,
                  "refused",
                  "refused to report the version"},
        FaultCase{"RefusedVersionWrite",
                  {"--refuse", "version-write"},
                  {"version", "set", "9"},
                  1,
                  "refused",
                  "refused version 9"},
        FaultCase{"SilentProbe", {"--silent"}, {"probe"}, 1, "no_answer", "did not answer the probe"},
        FaultCase{"SilentUpload",
                  {"--silent"},
                  kUpload,
                  1,
                  "no_answer",
                  "did not acknowledge the upload and no longer answers"},
        FaultCase{
            "SilentDownload", {"--silent"}, kDownload, 1, "no_answer", "did not answer the download request"},
        FaultCase{"SilentVersionRead",
                  {"--silent"},
                  {"version", "get", "--kind", "2"},
                  1,
                  "no_answer",
                  "did not report the version of kind 2"},
        FaultCase{"SilentVersionWrite",
                  {"--silent"},
                  {"version", "set", "5"},
                  1,
                  "no_answer",
                  "did not acknowledge version 5"},
        FaultCase{"SilentRecord",
                  {"--silent"},
                  {"record", "QUILLONTEST2"},
                  1,
                  "no_answer",
                  "did not answer afterwards"},
        FaultCase{"SilentDevdir", {"--silent"}, {"devdir", "@"}, 1, "no_answer", "did not report its name"},
        FaultCase{"AcksStopBeforeTheSize",
                  {"--stop-acks-after", "0"},
                  kUpload,
                  1,
                  "no_answer",
                  "did not acknowledge the upload"},
        FaultCase{"AcksStopAfterTwoBlocks",
                  {"--stop-acks-after", "2"},
                  kUpload,
                  1,
                  "stopped",
                  "stopped acknowledging at"},
        FaultCase{
            "CorruptBlock", {"--corrupt-block", "2"}, kDownload, 1, "aborted", "the download broke off at"},
        FaultCase{"WrongIndexBlock",
                  {"--wrong-index-block", "1"},
                  kDownload,
                  1,
                  "aborted",
                  "the download broke off at"},
        FaultCase{"DisconnectDuringDownload",
                  {"--disconnect-after", "2"},
                  kDownload,
                  1,
                  "stalled",
                  "stopped sending at"},
        FaultCase{"DisconnectDuringUpload",
                  {"--disconnect-after", "2"},
                  kUpload,
                  1,
                  "stopped",
                  "stopped acknowledging at"},
        FaultCase{"AnswersTooLateForTheLibrary",
                  {"--delay", "1500"},
                  kUpload,
                  1,
                  "no_answer",
                  "did not acknowledge the upload"},
        FaultCase{"ArchiveThatDoesNotUnpack",
                  {"--archive", "@/garbage.zip"},
                  kDownload,
                  1,
                  "not_unpacked",
                  "does not unpack"},
        FaultCase{"RepeatedSizeIsHarmless", {"--repeat-size"}, kDownload, 0, "", ""},
        FaultCase{"SlowButInTime", {"--delay", "200"}, kDownload, 0, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliTcp, ARefusedDownloadIntoANewFolderLeavesNoFolder)
{
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    SimulatedDevice device(folder.path(), {"--refuse", "download"});
    ASSERT_DEVICE_STARTED(device);
    const ProcessResult run = Quillon({"download", folder.str("d.zip"), folder.str("new-folder")});
    EXPECT_EQ(run.exitCode, 1) << Describe(run);
    EXPECT_FALSE(fs::exists(folder.path() / "new-folder"));
    EXPECT_FALSE(fs::exists(folder.path() / "d.zip"));
}

TEST(CliTcp, AnEarlierArchiveOfTheSameNameDoesNotOutliveAFailedDownload)
{
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = kSeveralBlocks});
    ASSERT_EQ(Quillon({"pack", folder.str("package"), folder.str("d.zip")}).exitCode, 0);
    SimulatedDevice device(folder.path(), {"--archive", folder.str("d.zip"), "--corrupt-block", "1"});
    ASSERT_DEVICE_STARTED(device);
    const ProcessResult run = Quillon({"download", folder.str("d.zip"), folder.str("out")});
    EXPECT_EQ(run.exitCode, 1) << Describe(run);
    EXPECT_FALSE(fs::exists(folder.path() / "d.zip"));
}

// ---- no device, a taken port ----

TEST(CliTcp, NoDeviceWithinTheWaitIsExitCode3AndSaysWhereItLooked)
{
    const ProcessResult tcp = Quillon({"status", "--wait", "0.5", "--json"});
    EXPECT_EQ(tcp.exitCode, 3) << Describe(tcp);
    EXPECT_EQ(Text(JsonOf(tcp), "reason"), "no_device");
    EXPECT_NE(tcp.err.find("no device on TCP port 8234 after 0.5 s"), std::string::npos) << Describe(tcp);
    EXPECT_NE(tcp.err.find("--serial-port"), std::string::npos) << "tells how to search a serial line";
    EXPECT_GE(tcp.seconds, 0.5);

    const ProcessResult serial = Quillon({"probe", "--wait", "0.2", "--serial-port", "/nonexistent/ttyQ0"});
    EXPECT_EQ(serial.exitCode, 3) << Describe(serial);
    EXPECT_NE(serial.err.find("no device on TCP port 8234 or serial port /nonexistent/ttyQ0 after 0.2 s"),
              std::string::npos)
        << Describe(serial);
}

TEST(CliTcp, ATakenDevicePortIsALocalProblemFoundAtOnce)
{
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io);
    asio::error_code error;
    holder.open(asio::ip::tcp::v4(), error);
    // Earlier tests' connections may linger on the port; they do not hold it.
    holder.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    holder.bind({asio::ip::address_v4::any(), 8234}, error);
    ASSERT_FALSE(error) << "port 8234 is in use: " << error.message();
    holder.listen(1, error);
    ASSERT_FALSE(error) << error.message();
    const ProcessResult run = Quillon({"status", "--wait", "30", "--json"});
    holder.close();
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    EXPECT_EQ(Text(JsonOf(run), "reason"), "port_busy");
    EXPECT_NE(run.err.find("TCP port 8234 is taken by another program"), std::string::npos) << Describe(run);
    EXPECT_LT(run.seconds, 5.0) << "did not wait for a device that could not come";
}

// ---- output: the library's lines, JSON, the progress bar ----

TEST(CliTcp, LibraryLinesShowOnlyWithVerboseAndNeverOnStandardOutput)
{
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = kSeveralBlocks});
    SimulatedDevice device(folder.path(), {});
    ASSERT_DEVICE_STARTED(device);

    const ProcessResult quiet = Quillon({"upload", folder.str("package")});
    ASSERT_EQ(quiet.exitCode, 0) << Describe(quiet);
    EXPECT_EQ(quiet.out.find("curindex--"), std::string::npos) << Describe(quiet);
    EXPECT_EQ(quiet.err.find("curindex--"), std::string::npos) << Describe(quiet);
    EXPECT_EQ(quiet.out.rfind("uploaded ", 0), 0u) << Describe(quiet);

    const ProcessResult verbose = Quillon({"upload", folder.str("package"), "--verbose", "--json"});
    ASSERT_EQ(verbose.exitCode, 0) << Describe(verbose);
    EXPECT_NE(verbose.err.find("curindex--0  sumsize--"), std::string::npos) << Describe(verbose);
    EXPECT_NE(verbose.err.find("finish---------------"), std::string::npos) << Describe(verbose);
    EXPECT_EQ(Text(JsonOf(verbose), "ok"), "true") << "standard output holds the JSON object alone";
}

TEST(CliTcp, ProgressIsDrawnOnATerminalOnly)
{
    QUILLON_REQUIRE_PSEUDO_TERMINALS();
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    MakePackage(folder.path() / "package", {.extraBytes = 120000});
    SimulatedDevice device(folder.path(), {});
    ASSERT_DEVICE_STARTED(device);

    const ProcessResult upload = Quillon({"upload", folder.str("package")}, {.stderrOnTerminal = true});
    ASSERT_EQ(upload.exitCode, 0) << Describe(upload);
    EXPECT_NE(upload.err.find("upload   100% [########################]"), std::string::npos)
        << Describe(upload);
    EXPECT_NE(upload.err.find(" KiB of "), std::string::npos) << Describe(upload);
    EXPECT_NE(upload.err.find("/s"), std::string::npos) << Describe(upload);

    const ProcessResult download =
        Quillon({"download", folder.str("d.zip"), folder.str("out")}, {.stderrOnTerminal = true});
    ASSERT_EQ(download.exitCode, 0) << Describe(download);
    EXPECT_NE(download.err.find("download 100% ["), std::string::npos) << Describe(download);

    const ProcessResult piped = Quillon({"upload", folder.str("package")});
    ASSERT_EQ(piped.exitCode, 0) << Describe(piped);
    EXPECT_EQ(piped.err, "") << "nothing but errors goes to a standard error that is no terminal";
}

// ---- the serial link, on a pseudo-terminal ----

TEST(CliSerial, StatusUploadAndDownloadOverAPseudoTerminalAtLineRate)
{
    QUILLON_REQUIRE_PSEUDO_TERMINALS();
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    MakePackage(folder.path() / "package");
    SimulatedDevice device(folder.path(), {"--pty", "--line-rate"});
    ASSERT_DEVICE_STARTED(device);
    const std::vector<std::string> port = {"--serial-port", device.ptyPath()};
    const auto withPort = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), port.begin(), port.end());
        return arguments;
    };

    const ProcessResult status = Quillon(withPort({"status"}));
    ASSERT_EQ(status.exitCode, 0) << Describe(status) << device.log();
    EXPECT_EQ(status.out, "device online on serial port " + device.ptyPath() + "\n");

    const ProcessResult upload =
        Quillon(withPort({"upload", folder.str("package"), "--kind", "2", "--json"}));
    ASSERT_EQ(upload.exitCode, 0) << Describe(upload) << device.log();
    EXPECT_EQ(Text(JsonOf(upload), "link"), "serial");
    ASSERT_TRUE(fs::exists(StoredUpload(device, 2))) << device.log();

    const ProcessResult download =
        Quillon(withPort({"download", folder.str("d.zip"), folder.str("out"), "--kind", "2", "--json"}));
    ASSERT_EQ(download.exitCode, 0) << Describe(download) << device.log();
    EXPECT_EQ(Text(JsonOf(download), "link"), "serial");
    EXPECT_EQ(TreeChanges(FilesOf(folder.path() / "package"), FilesOf(folder.path() / "out")), "");
}

TEST(CliSerial, VersionRecordAndDevdirOverAPseudoTerminal)
{
    QUILLON_REQUIRE_PSEUDO_TERMINALS();
    QUILLON_REQUIRE_DEVICE();
    TempFolder folder;
    SimulatedDevice device(folder.path(), {"--pty"}, "SERIALDEV-01");
    ASSERT_DEVICE_STARTED(device);
    const auto withPort = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--serial-port", device.ptyPath(), "--json"});
        return arguments;
    };

    const ProcessResult set = Quillon(withPort({"version", "set", "31", "--kind", "1"}));
    ASSERT_EQ(set.exitCode, 0) << Describe(set) << device.log();
    const ProcessResult get = Quillon(withPort({"version", "get", "--kind", "1"}));
    ASSERT_EQ(get.exitCode, 0) << Describe(get) << device.log();
    EXPECT_EQ(Text(JsonOf(get), "version"), "31");

    const ProcessResult devdir = Quillon(withPort({"devdir", folder.str()}));
    ASSERT_EQ(devdir.exitCode, 0) << Describe(devdir) << device.log();
    EXPECT_EQ(Text(JsonOf(devdir), "name"), "SERIALDEV-01");
    EXPECT_TRUE(fs::is_directory(folder.path() / "SERIALDEV-01"));

    const ProcessResult record = Quillon(withPort({"record", "SERIALDEV-02"}));
    ASSERT_EQ(record.exitCode, 0) << Describe(record) << device.log();
    EXPECT_NE(ReadBytes(device.state() / "device-record.txt").find("name: SERIALDEV-02"), std::string::npos);
}

} // namespace
} // namespace quillon::testing
