// The quillon tool without a device: its command line, its help against the README, and the
// commands that work on packages and archives on disk. Every case runs the real binary; none of
// them starts the links, so none needs the device port.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>

#include "tools/CliTestSupport.h"

namespace quillon::testing {
namespace {

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* says; // a piece of what standard error must say
};

void PrintTo(const UsageCase& test, std::ostream* out)
{
    *out << test.name;
}

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, IsRefusedWithExitCode2AndAReason)
{
    const UsageCase& usage = GetParam();
    const ProcessResult run = Quillon(usage.arguments);
    EXPECT_EQ(run.exitCode, 2) << Describe(run);
    EXPECT_NE(run.err.find(usage.says), std::string::npos) << Describe(run);
    EXPECT_NE(run.err.find("--help"), std::string::npos) << "points to the help\n" << Describe(run);
    EXPECT_EQ(run.out, "") << "a usage error prints no result";
    // Refused before any link starts: no device wait, no port search.
    EXPECT_LT(run.seconds, 5.0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliUsage,
    ::testing::Values(UsageCase{"NoCommand", {}, "subcommand is required"},
                      UsageCase{"UnknownCommand", {"frobnicate"}, "frobnicate"},
                      UsageCase{"VersionWithoutGetOrSet", {"version"}, "subcommand is required"},
                      UsageCase{"VersionKindAbove2", {"version", "get", "--kind", "3"}, "not in range"},
                      UsageCase{"VersionValueNotANumber", {"version", "set", "abc"}, "abc"},
                      UsageCase{"VersionValueTooBig", {"version", "set", "2147483648"}, "2147483648"},
                      UsageCase{"VersionSetWithoutValue", {"version", "set"}, "VALUE is required"},
                      UsageCase{"UploadKindAbove255", {"upload", "x.zip", "--kind", "256"}, "not in range"},
                      UsageCase{"UploadWithoutSource", {"upload"}, "SOURCE is required"},
                      UsageCase{"DownloadWithoutFolder", {"download", "x.zip"}, "FOLDER is required"},
                      UsageCase{
                          "DownloadStallZero", {"download", "x.zip", "out", "--stall", "0"}, "not in range"},
                      UsageCase{"RecordNameTooShort", {"record", "SHORT"}, "exactly 12 characters"},
                      UsageCase{"RecordNameTooLong", {"record", "THIRTEENCHARS"}, "exactly 12 characters"},
                      UsageCase{"RecordNameNotAFolderName", {"record", "ABCDEF/GHIJK"}, "folder name"},
                      UsageCase{"WaitNegative", {"--wait", "-1", "status"}, "--wait"},
                      UsageCase{"WaitNotANumber", {"status", "--wait", "soon"}, "soon"},
                      UsageCase{"SerialPortWithoutPath", {"status", "--serial-port"}, "--serial-port"},
                      UsageCase{"PackWithoutArchive", {"pack", "folder"}, "ZIP is required"},
                      UsageCase{"RepairWithoutPackage", {"repair", "root"}, "PACKAGE is required"},
                      UsageCase{"ExtraArgument", {"check", "a", "b"}, "b"}),
    [](const auto& info) { return std::string(info.param.name); });

// Problems with local files are found before any link starts, and say what is wrong.
struct LocalCase {
    const char* name;
    std::vector<std::string> arguments; // "@" stands for the test's folder
    const char* reason;
    const char* says;
};

void PrintTo(const LocalCase& test, std::ostream* out)
{
    *out << test.name;
}

class CliLocalProblem : public ::testing::TestWithParam<LocalCase> {};

TEST_P(CliLocalProblem, ExitsWith4BeforeLookingForADevice)
{
    TempFolder folder;
    MakePackage(folder.path() / "complete");
    MakePackage(folder.path() / "incomplete");
    fs::remove(folder.path() / "incomplete" / "BDB0001.bdb");
    fs::create_directories(folder.path() / "empty");
    WriteBytes(folder.path() / "not-a-zip.zip", "this is text, not an archive");
    const Tree before = SnapshotTree(folder.path());

    std::vector<std::string> arguments;
    for (std::string argument : GetParam().arguments) {
        if (!argument.empty() && argument[0] == '@')
            argument = folder.str() + argument.substr(1);
        arguments.push_back(argument);
    }
    arguments.push_back("--json");
    const ProcessResult run = Quillon(arguments);
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    const JsonObject json = JsonOf(run);
    EXPECT_EQ(Text(json, "ok"), "false");
    EXPECT_EQ(Text(json, "exit_code"), "4");
    EXPECT_EQ(Text(json, "reason"), GetParam().reason);
    EXPECT_NE(Text(json, "error").find(GetParam().says), std::string::npos) << Describe(run);
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << "the person reads it too\n"
                                                                << Describe(run);
    EXPECT_LT(run.seconds, 5.0) << "no device was waited for";

    // Nothing was left behind but the check's own report.
    Tree after = SnapshotTree(folder.path());
    after.erase("incomplete/CheckSetInfo.TXT");
    EXPECT_EQ(TreeChanges(before, after), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliLocalProblem,
    ::testing::Values(
        LocalCase{
            "UploadMissingSource", {"upload", "@/nothing-here.zip"}, "missing", "there is no file or folder"},
        LocalCase{"UploadNotAZip", {"upload", "@/not-a-zip.zip"}, "not_zip", "is not a zip archive"},
        LocalCase{"UploadIncompletePackage",
                  {"upload", "@/incomplete"},
                  "incomplete",
                  "is incomplete: No BDB0001.bdb file"},
        LocalCase{"DownloadIntoMissingFolder",
                  {"download", "@/no/such/x.zip", "@/out"},
                  "cannot_write",
                  "cannot write the archive"},
        LocalCase{"DownloadUnpackFolderWithoutParent",
                  {"download", "@/x.zip", "@/no/such/out"},
                  "missing",
                  "there is no folder to unpack into"},
        LocalCase{"DownloadUnpackFolderIsAFile",
                  {"download", "@/x.zip", "@/not-a-zip.zip"},
                  "missing",
                  "is not a folder"},
        LocalCase{"DevdirMissingFolder", {"devdir", "@/no-such-folder"}, "missing", "there is no folder"},
        LocalCase{"PackMissingFolder",
                  {"pack", "@/no-such-folder", "@/x.zip"},
                  "missing",
                  "there is no package folder"},
        LocalCase{"PackEmptyFolder", {"pack", "@/empty", "@/x.zip"}, "empty", "has no files to pack"},
        LocalCase{
            "UnpackMissingArchive", {"unpack", "@/none.zip", "@/out"}, "missing", "there is no archive"},
        LocalCase{"UnpackDamagedArchive",
                  {"unpack", "@/not-a-zip.zip", "@/out"},
                  "not_unpacked",
                  "nothing was written"},
        LocalCase{
            "CheckMissingFolder", {"check", "@/no-such-folder"}, "missing", "there is no package folder"},
        LocalCase{"CheckIncompletePackage", {"check", "@/incomplete"}, "incomplete", "No BDB0001.bdb file"},
        LocalCase{"RepairMissingRoot",
                  {"repair", "@/no-such-root", "@/complete"},
                  "missing",
                  "there is no root folder"},
        LocalCase{
            "RepairWithoutDescription", {"repair", "@", "@/empty"}, "incomplete", "has no DeviceSet.DST"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliLocal, PackThenUnpackGivesThePackageBack)
{
    TempFolder folder;
    MakePackage(folder.path() / "package", {.serial = "AB12UX345678", .extraBytes = 20000});
    // A report from an earlier check is about the package, not part of it.
    WriteBytes(folder.path() / "package" / "CheckSetInfo.TXT", "No old file\r\n");

    const ProcessResult pack = Quillon({"pack", folder.str("package"), folder.str("package.zip"), "--json"});
    ASSERT_EQ(pack.exitCode, 0) << Describe(pack);
    const JsonObject packed = JsonOf(pack);
    EXPECT_EQ(Items(packed, "files"),
              (std::vector<std::string>{"AB12UX345678.ORI", "AB12UX345678.RGF", "AB12UX345678_B.ORI",
                                        "BDB0001.bdb", "DeviceSet.DST"}));
    EXPECT_EQ(Text(packed, "bytes"), std::to_string(fs::file_size(folder.path() / "package.zip")));

    const ProcessResult unpack = Quillon({"unpack", folder.str("package.zip"), folder.str("copy")});
    ASSERT_EQ(unpack.exitCode, 0) << Describe(unpack);
    EXPECT_NE(unpack.out.find("unpacked"), std::string::npos);
    Tree original = FilesOf(folder.path() / "package");
    original.erase("CheckSetInfo.TXT");
    EXPECT_EQ(TreeChanges(original, FilesOf(folder.path() / "copy")), "");
}

TEST(CliLocal, PackLeavesOutTheArchiveItWritesInsideThePackage)
{
    TempFolder folder;
    MakePackage(folder.path());
    WriteBytes(folder.path() / "inside.zip", "an older archive");
    const ProcessResult run = Quillon({"pack", folder.str(), folder.str("inside.zip"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << Describe(run);
    for (const auto& file : Items(JsonOf(run), "files"))
        EXPECT_NE(file, "inside.zip");
}

TEST(CliLocal, FailedUnpackLeavesAnExistingFolderAsItWas)
{
    TempFolder folder;
    MakePackage(folder.path() / "package");
    ASSERT_EQ(Quillon({"pack", folder.str("package"), folder.str("good.zip")}).exitCode, 0);
    // A damaged copy: the archive cut short in its middle.
    const std::string good = ReadBytes(folder.path() / "good.zip");
    WriteBytes(folder.path() / "cut.zip", good.substr(0, good.size() / 2));
    fs::create_directories(folder.path() / "target");
    WriteBytes(folder.path() / "target" / "AB12XY345678.ORI", "the user's own file");
    const Tree before = SnapshotTree(folder.path() / "target");

    const ProcessResult run = Quillon({"unpack", folder.str("cut.zip"), folder.str("target")});
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    EXPECT_EQ(TreeChanges(before, SnapshotTree(folder.path() / "target")), "");
}

struct CheckCase {
    const char* name;
    PackageLayout package;
    std::vector<std::string> remove;   // files taken away after the package is made
    std::vector<std::string> problems; // what the check must list, in order
};

void PrintTo(const CheckCase& test, std::ostream* out)
{
    *out << test.name;
}

class CliCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CliCheck, ListsEveryMissingPiece)
{
    TempFolder folder;
    MakePackage(folder.path(), GetParam().package);
    for (const auto& name : GetParam().remove)
        fs::remove(folder.path() / name);

    const ProcessResult run = Quillon({"check", folder.str(), "--json"});
    const JsonObject json = JsonOf(run);
    const bool complete = GetParam().problems.empty();
    EXPECT_EQ(run.exitCode, complete ? 0 : 4) << Describe(run);
    EXPECT_EQ(Text(json, "complete"), complete ? "true" : "false");
    EXPECT_EQ(Items(json, "problems"), GetParam().problems);
    EXPECT_EQ(fs::exists(folder.path() / "CheckSetInfo.TXT"), !complete);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliCheck,
    ::testing::Values(CheckCase{"CompleteMarkedLayout", {}, {}, {}},
                      CheckCase{"CompletePlainLayout", {.markedLayout = false}, {}, {}},
                      CheckCase{"SecondOriNeededAndPresent", {.serial = "AB12BP345678"}, {}, {}},
                      CheckCase{"SecondOriMissing",
                                {.serial = "AB12UK345678"},
                                {"AB12UK345678_B.ORI"},
                                {"No AB12UK345678_B.ORI file"}},
                      CheckCase{"DeviceFilesMissing",
                                {},
                                {"AB12XY345678.ORI", "AB12XY345678.RGF"},
                                {"No AB12XY345678.ORI file", "No AB12XY345678.RGF file"}},
                      CheckCase{"NoDescription",
                                {},
                                {"DeviceSet.DST"},
                                {"No DeviceSet.DST file", "DeviceSet.DST file have not device sn",
                                 "DeviceSet.DST file have not bdb sn", "No .ORI file", "No .RGF file",
                                 "No .bdb file"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliLocal, RepairCopiesAPackageOnceAndThenLeavesItAlone)
{
    TempFolder folder;
    MakePackage(folder.path() / "incoming", {.serial = "CD34XY000001"});
    fs::create_directories(folder.path() / "root");

    const ProcessResult first = Quillon({"repair", folder.str("root"), folder.str("incoming"), "--json"});
    ASSERT_EQ(first.exitCode, 0) << Describe(first);
    const JsonObject created = JsonOf(first);
    EXPECT_EQ(Text(created, "created"), "true");
    EXPECT_EQ(Text(created, "serial"), "CD34XY000001");
    EXPECT_EQ(Text(created, "path"), (folder.path() / "root" / "CD34XY000001").string());
    EXPECT_EQ(
        TreeChanges(FilesOf(folder.path() / "incoming"), FilesOf(folder.path() / "root" / "CD34XY000001")),
        "");

    // A changed package does not replace the one in place.
    WriteBytes(folder.path() / "incoming" / "CD34XY000001.RGF", "changed");
    const Tree inPlace = FilesOf(folder.path() / "root");
    const ProcessResult second =
        Quillon({"repair", folder.str("root"), folder.str("incoming") + "/", "--json"});
    ASSERT_EQ(second.exitCode, 0) << Describe(second);
    EXPECT_EQ(Text(JsonOf(second), "created"), "false");
    EXPECT_EQ(TreeChanges(inPlace, FilesOf(folder.path() / "root")), "");
}

TEST(CliLocal, RepairRefusesASerialThatCannotNameAFolder)
{
    TempFolder folder;
    MakePackage(folder.path() / "incoming", {.serial = ".."});
    fs::create_directories(folder.path() / "root");
    const ProcessResult run = Quillon({"repair", folder.str("root"), folder.str("incoming"), "--json"});
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    EXPECT_EQ(Text(JsonOf(run), "reason"), "bad_name");
    EXPECT_TRUE(fs::is_empty(folder.path() / "root"));
}

// The JSON output carries the same keys on success and failure, so scripts can rely on them.
TEST(CliLocal, JsonNamesTheCommandAndAlwaysCarriesOkExitCodeReasonAndError)
{
    TempFolder folder;
    MakePackage(folder.path());
    for (const bool fail : {false, true}) {
        const ProcessResult run = Quillon({"check", fail ? folder.str("missing") : folder.str(), "--json"});
        const JsonObject json = JsonOf(run);
        EXPECT_EQ(Text(json, "command"), "check");
        EXPECT_EQ(Text(json, "ok"), fail ? "false" : "true");
        EXPECT_EQ(Text(json, "exit_code"), fail ? "4" : "0");
        EXPECT_EQ(IsNull(json, "reason"), !fail);
        EXPECT_EQ(IsNull(json, "error"), !fail);
        EXPECT_TRUE(json.count("seconds"));
        EXPECT_EQ(Text(json, "folder"), fail ? folder.str("missing") : folder.str());
    }
}

// ---- the help and the README ----

// The lines of a help section ("Subcommands:", "Options:", "Positionals:") up to the next blank one.
std::vector<std::string> HelpSection(const std::string& help, const std::string& title)
{
    std::vector<std::string> lines;
    std::istringstream in(help);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line == title) {
            inside = true;
        } else if (inside) {
            if (line.empty())
                break;
            lines.push_back(line);
        }
    }
    return lines;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Each "name   description" line of a help's command list.
std::map<std::string, std::string> HelpCommands(const std::string& help)
{
    std::map<std::string, std::string> commands;
    for (const auto& line : HelpSection(help, "Subcommands:")) {
        const std::string trimmed = Trim(line);
        const auto gap = trimmed.find("  ");
        if (gap != std::string::npos)
            commands[trimmed.substr(0, gap)] = Trim(trimmed.substr(gap));
    }
    return commands;
}

// The README's row for a command: the table line whose first cell starts with the command.
std::string ReadmeRow(const std::string& readme, const std::string& command)
{
    std::istringstream in(readme);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| `" + command + " ", 0) == 0 || line.rfind("| `" + command + "`", 0) == 0)
            return line;
    }
    return {};
}

// The names a command's help lists: its positionals and its options.
std::vector<std::string> HelpArgumentNames(const std::string& help)
{
    std::vector<std::string> names;
    for (const auto& title : {"Positionals:", "Options:"}) {
        for (const auto& line : HelpSection(help, title)) {
            const std::string trimmed = Trim(line);
            if (line.rfind("   ", 0) == 0 || trimmed.empty())
                continue; // a description carried over to a line of its own
            std::string name = trimmed.substr(0, trimmed.find_first_of(" :"));
            if (name != "-h,--help")
                names.push_back(name);
        }
    }
    return names;
}

TEST(CliHelp, EveryCommandItsArgumentsTheCommonOptionsAndTheExitCodesAreInTheReadme)
{
    const std::string readme = ReadBytes(kReadme);
    ASSERT_FALSE(readme.empty()) << kReadme;
    const ProcessResult top = Quillon({"--help"});
    ASSERT_EQ(top.exitCode, 0) << Describe(top);

    const auto commands = HelpCommands(top.out);
    ASSERT_GE(commands.size(), 11u) << top.out;
    for (const auto& [command, description] : commands) {
        const ProcessResult help = Quillon({command, "--help"});
        ASSERT_EQ(help.exitCode, 0) << Describe(help);
        const auto nested = HelpCommands(help.out);
        if (!nested.empty()) {
            // A group such as "version": its description in the text, a row for each member.
            EXPECT_NE(readme.find(description), std::string::npos) << command << ": " << description;
            for (const auto& [member, memberDescription] : nested) {
                const ProcessResult memberHelp = Quillon({command, member, "--help"});
                const std::string row = ReadmeRow(readme, command + " " + member);
                ASSERT_FALSE(row.empty()) << "no README row for " << command << " " << member;
                EXPECT_NE(row.find("| " + memberDescription + " |"), std::string::npos) << row;
                for (const auto& name : HelpArgumentNames(memberHelp.out))
                    EXPECT_NE(row.find(name), std::string::npos) << row << " lacks " << name;
            }
            continue;
        }
        const std::string row = ReadmeRow(readme, command);
        ASSERT_FALSE(row.empty()) << "no README row for " << command;
        EXPECT_NE(row.find("| " + description + " |"), std::string::npos) << row;
        for (const auto& name : HelpArgumentNames(help.out))
            EXPECT_NE(row.find(name), std::string::npos) << row << " lacks " << name;
    }

    // The common options, each with its description.
    for (const auto& line : HelpSection(top.out, "Options:")) {
        const std::string trimmed = Trim(line);
        if (trimmed.rfind("--", 0) != 0)
            continue;
        const std::string name = trimmed.substr(0, trimmed.find_first_of(" :"));
        const std::string row = ReadmeRow(readme, name);
        EXPECT_FALSE(row.empty()) << "no README row for the option " << name;
    }

    // The exit codes, line for line as the help prints them.
    const auto footer = top.out.find("Exit codes:\n");
    ASSERT_NE(footer, std::string::npos);
    std::istringstream codes(top.out.substr(footer + 12));
    std::string line;
    int codeCount = 0;
    while (std::getline(codes, line) && !line.empty()) {
        EXPECT_NE(readme.find(line + "\n"), std::string::npos) << "README lacks the exit code line: " << line;
        codeCount += line.size() > 5 && line.compare(0, 2, "  ") == 0 &&
                     std::isdigit(static_cast<unsigned char>(line[2])) && line.compare(3, 2, "  ") == 0;
    }
    EXPECT_EQ(codeCount, 5);
}

} // namespace
} // namespace quillon::testing
