// The quillon tool without a device: its command line, its help against the README, and the
// commands that work on packages and archives on disk. Every case runs the real binary; none of
// them starts the links, so none needs the device port.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "tools/CliTestSupport.h"

namespace quillon::testing {
namespace {

struct UsageCase {
    const char* name;
    const char* line;
    const char* says;  // a piece of what standard error must say
    friend void PrintTo(const UsageCase& test, std::ostream* out) { *out << test.name; }
};

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, IsRefusedWithExitCode2AndAReason)
{
    const ProcessResult run = Quillon(GetParam().line);
    EXPECT_EQ(run.exitCode, 2) << Describe(run);
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << Describe(run);
    // The shape of every error: "quillon COMMAND: what happened", then a hint that names the help.
    EXPECT_EQ(run.err.rfind("quillon", 0), 0u) << Describe(run);
    EXPECT_NE(run.err.find("\n  "), std::string::npos) << Describe(run);
    EXPECT_NE(run.err.find("--help"), std::string::npos) << "points to the help\n" << Describe(run);
    EXPECT_EQ(run.out, "") << "a usage error prints no result";
    // Refused before any link starts: no device wait, no port search.
    EXPECT_LT(run.seconds, 5.0);
}

// The parser's own rules (a required argument, a number that does not fit) and the link settings'
// rules (tested with the library) have a row each, to show they are wired to the tool.
const UsageCase kUsageCases[] = {
    {"NoCommand", "", "quillon: no command given"},
    {"UnknownCommand", "frobnicate", "no command \"frobnicate\""},
    {"MistypedCommand", "chek", "Did you mean quillon check?"},
    {"MistypedOption", "status --wiat 3",
     "quillon status: there is no option --wiat\n  Did you mean --wait?"},
    {"VersionWithoutGetOrSet", "version", "quillon version: say which: get or set"},
    {"VersionKindAbove2", "version get --kind 3",
     "quillon version get: --kind: \"3\" is not a whole number from 0 to 2"},
    {"VersionValueNotANumber", "version set abc", "abc"},
    {"UploadKindAbove255", "upload x.zip --kind 256", "from 0 to 255"},
    {"UploadWithoutSource", "upload", "SOURCE is required"},
    {"DownloadWithoutFolder", "download x.zip", "FOLDER is required"},
    {"DownloadStallZero", "download x.zip out --stall 0", "not a number of seconds from 0.5 to 3600"},
    {"RecordNameTooShort", "record SHORT", "exactly 12 characters"},
    {"RecordNameNotAFolderName", "record ABCDEF/GHIJK", "folder name"},
    // 12 bytes, 11 characters: the device would store bytes that read back as other characters.
    {"RecordNameNotSingleBytes",
     "record \xC3\x84"
     "BCDEFGHIJK",
     "\"\xC3\x84\" is not one"},
    {"WaitNegative", "--wait -1 status", "--wait"},
    {"SerialPortWithoutPath", "status --serial-port", "--serial-port"},
    {"AllowedPrefixTooLong", "status --allow 10.0.0.0/33", "\"33\""},
    {"ExtraArgument", "check a b", "b"},
};
INSTANTIATE_TEST_SUITE_P(Table, CliUsage, ::testing::ValuesIn(kUsageCases), kCaseName);

// Problems with local files are found before any link starts, and say what is wrong.
struct LocalCase {
    const char* name;
    const char* line;  // "@" stands for the test's folder
    const char* reason;
    const char* says;
    friend void PrintTo(const LocalCase& test, std::ostream* out) { *out << test.name; }
};

class CliLocalProblem : public ::testing::TestWithParam<LocalCase> {};

TEST_P(CliLocalProblem, ExitsWith4BeforeLookingForADevice)
{
    TempFolder folder;
    MakePackage(folder.path() / "complete");
    MakePackage(folder.path() / "incomplete");
    fs::remove(folder.path() / "incomplete" / "BDB0001.bdb");
    MakePackage(folder.path() / "dot-dot", {.serial = ".."});
    fs::create_directories(folder.path() / "hostile");
    WriteBytes(folder.path() / "hostile" / "DeviceSet.DST", "AB\x1B]0;x\x07YZ\r\nBDB0001\r\n");
    fs::create_directories(folder.path() / "empty");
    WriteBytes(folder.path() / "not-a-zip.zip", "this is text, not an archive");
    // A report that cannot be written: a folder stands where it would go.
    MakePackage(folder.path() / "no-report");
    fs::remove(folder.path() / "no-report" / "BDB0001.bdb");
    fs::create_directories(folder.path() / "no-report" / "CheckSetInfo.TXT");
    MakePackage(folder.path() / "linked");
    std::error_code noLinks;
    fs::create_symlink(folder.path() / "not-a-zip.zip", folder.path() / "linked" / "extra.ORI", noLinks);
    if (noLinks && std::string_view(GetParam().name).ends_with("Link"))
        GTEST_SKIP() << "no symbolic links here: " << noLinks.message();
    const Tree before = SnapshotTree(folder.path());

    const ProcessResult run = Quillon(std::string(GetParam().line) + " --json", folder.path());
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    const Json json = JsonOf(run);
    EXPECT_EQ(json["command"], Words(GetParam().line)[0]);
    EXPECT_EQ(json["ok"], "false");
    EXPECT_EQ(json["exit_code"], "4");
    EXPECT_TRUE(json.has("seconds"));
    EXPECT_EQ(json["reason"], GetParam().reason);
    for (const std::string& text : {json["error"], run.err})  // for a script, and for the person
        EXPECT_NE(text.find(GetParam().says), std::string::npos) << Describe(run);
    EXPECT_LT(run.seconds, 5.0) << "no device was waited for";
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "what a package says reaches the terminal escaped";
    // A script can tell which of its paths the failure is about.
    for (const auto& path : Words(GetParam().line, folder.path()))
        EXPECT_TRUE(!path.starts_with(folder.str()) || json.holds(path)) << path << " is not in the JSON";

    // Nothing was left behind but the check's own report.
    Tree after = SnapshotTree(folder.path());
    after.erase("incomplete/CheckSetInfo.TXT");
    after.erase("hostile/CheckSetInfo.TXT");
    EXPECT_EQ(TreeChanges(before, after), "");
}

const LocalCase kLocalCases[] = {
    {"UploadMissingSource", "upload @/nothing-here.zip", "missing", "there is no file or folder"},
    {"UploadNotAZip", "upload @/not-a-zip.zip", "not_zip", "is not a zip archive"},
    {"UploadIncompletePackage", "upload @/incomplete", "incomplete", "is incomplete: No BDB0001.bdb file"},
    {"DownloadIntoMissingFolder", "download @/no/such/x.zip @/out", "cannot_write",
     "cannot write the archive"},
    {"DownloadUnpackFolderWithoutParent", "download @/x.zip @/no/such/out", "missing",
     "there is no folder to unpack into"},
    {"DownloadUnpackFolderIsAFile", "download @/x.zip @/not-a-zip.zip", "missing", "is not a folder"},
    {"DevdirMissingFolder", "devdir @/no-such-folder", "missing", "there is no folder"},
    {"PackMissingFolder", "pack @/no-such-folder @/x.zip", "missing", "there is no package folder"},
    {"PackEmptyFolder", "pack @/empty @/x.zip", "empty", "has no files to pack"},
    {"PackPackageWithALink", "pack @/linked @/x.zip", "cannot_pack", "extra.ORI is a link"},
    {"UnpackMissingArchive", "unpack @/none.zip @/out", "missing", "there is no archive"},
    {"UnpackDamagedArchive", "unpack @/not-a-zip.zip @/out", "not_unpacked",
     "not-a-zip.zip is not a zip archive, or it is cut short; nothing was written"},
    {"UploadFolderThatIsNoPackage", "upload @/empty", "not_package", "it has no DeviceSet.DST"},
    {"CheckWhoseReportCannotBeWritten", "check @/no-report", "incomplete",
     "No BDB0001.bdb file (the check cannot write its report"},
    {"SerialPortThatDoesNotExist", "status --serial-port @/ttyNone", "no_port", "there is no serial port"},
    {"SerialPortThatIsAFile", "probe --serial-port @/not-a-zip.zip", "not_a_port", "is not a serial port"},
    {"RepairMissingRoot", "repair @/no-such-root @/complete", "missing", "there is no root folder"},
    {"RepairWithoutDescription", "repair @ @/empty", "incomplete", "has no DeviceSet.DST"},
    {"RepairSerialThatCannotNameAFolder", "repair @/empty @/dot-dot", "bad_name",
     "\"..\" cannot name a folder"},
    {"CheckPackageWithTerminalControls", "check @/hostile", "incomplete", "is incomplete: No AB"},
};
INSTANTIATE_TEST_SUITE_P(Table, CliLocalProblem, ::testing::ValuesIn(kLocalCases), kCaseName);

TEST(CliLocal, PackThenUnpackGivesThePackageBackAndACutArchiveChangesNothing)
{
    TempFolder folder;
    const fs::path package = folder.path() / "package";
    MakePackage(package, {.serial = "AB12UX345678", .extraBytes = 20000});
    // A report from an earlier check is about the package, not part of it; nor is an older
    // archive in the folder, which this one replaces.
    WriteBytes(package / "CheckSetInfo.TXT", "No old file\r\n");
    WriteBytes(package / "package.zip", "an older archive");
    fs::create_directories(package / "notes");  // a package is the files directly in its folder

    const Json packed = Succeeds("pack @/package @/package/package.zip", folder.path());
    EXPECT_EQ(packed.items("files"),
              (std::vector<std::string>{"AB12UX345678.ORI", "AB12UX345678.RGF", "AB12UX345678_B.ORI",
                                        "BDB0001.bdb", "DeviceSet.DST"}));
    EXPECT_EQ(packed.items("left_out"), std::vector<std::string>{"notes"});
    EXPECT_EQ(packed["bytes"], std::to_string(fs::file_size(package / "package.zip")));

    const ProcessResult unpack = Quillon("unpack @/package/package.zip @/copy", folder.path());
    ASSERT_EQ(unpack.exitCode, 0) << Describe(unpack);
    EXPECT_NE(unpack.out.find("unpacked"), std::string::npos);
    Tree original = SnapshotTree(package);
    original.erase("CheckSetInfo.TXT");
    original.erase("package.zip");
    original.erase("notes");
    EXPECT_EQ(TreeChanges(original, SnapshotTree(folder.path() / "copy")), "");

    // Unpacking an archive cut short in its middle leaves the user's folder as it was.
    const std::string whole = ReadBytes(package / "package.zip");
    WriteBytes(folder.path() / "cut.zip", whole.substr(0, whole.size() / 2));
    WriteBytes(folder.path() / "copy" / "AB12UX345678.ORI", "the user's own file");
    const Tree before = SnapshotTree(folder.path() / "copy");
    const ProcessResult cut = Quillon("unpack @/cut.zip @/copy", folder.path());
    EXPECT_EQ(cut.exitCode, 4) << Describe(cut);
    EXPECT_EQ(TreeChanges(before, SnapshotTree(folder.path() / "copy")), "");
}

struct CheckCase {
    const char* name;
    PackageLayout package;
    const char* remove;    // files taken away after the package is made
    const char* problems;  // what the check must list, in order, each after a "; "
    friend void PrintTo(const CheckCase& test, std::ostream* out) { *out << test.name; }
};

class CliCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CliCheck, ListsEveryMissingPieceWithTheSameKeysOnSuccessAndFailure)
{
    TempFolder folder;
    MakePackage(folder.path(), GetParam().package);
    for (const auto& name : Words(GetParam().remove))
        fs::remove(folder.path() / name);

    // A report of an earlier check is replaced, or removed once the package is complete.
    WriteBytes(folder.path() / "CheckSetInfo.TXT", "No old file\r\n");
    const ProcessResult run = Quillon("check @ --json", folder.path());
    const Json json = JsonOf(run);
    const std::string problems = GetParam().problems;
    const bool complete = problems.empty();
    EXPECT_EQ(run.exitCode, complete ? 0 : 4) << Describe(run);
    EXPECT_EQ(json["command"], "check");
    EXPECT_EQ(json["exit_code"], complete ? "0" : "4");
    for (const auto& key : {"ok", "complete"})
        EXPECT_EQ(json[key], complete ? "true" : "false") << key;
    EXPECT_EQ(json.isNull("reason"), complete);
    EXPECT_EQ(json.isNull("error"), complete);
    EXPECT_TRUE(json.has("seconds"));
    EXPECT_EQ(json["folder"], folder.str());
    std::string listed;
    for (const auto& problem : json.items("problems"))
        listed += (listed.empty() ? "" : "; ") + problem;
    EXPECT_EQ(listed, problems);
    EXPECT_NE(json["error"].find(problems), std::string::npos) << "the message lists them too";
    EXPECT_EQ(fs::exists(folder.path() / "CheckSetInfo.TXT"), !complete);
}

// Which pieces a package needs is the package check's rule, tested in the state suite; here, how
// the tool reports a complete package and one with several problems.
const CheckCase kCheckCases[] = {
    {"Complete", {}, "", ""},
    {"DeviceFilesMissing",
     {},
     "AB12XY345678.ORI AB12XY345678.RGF",
     "No AB12XY345678.ORI file; No AB12XY345678.RGF file"},
};
INSTANTIATE_TEST_SUITE_P(Table, CliCheck, ::testing::ValuesIn(kCheckCases), kCaseName);

TEST(CliLocal, RepairCopiesAPackageOnceAndThenLeavesItAlone)
{
    TempFolder folder;
    MakePackage(folder.path() / "incoming", {.serial = "CD34XY000001"});
    fs::create_directories(folder.path() / "root");

    const Json created = Succeeds("repair @/root @/incoming", folder.path());
    EXPECT_EQ(created["created"], "true");
    EXPECT_EQ(created["serial"], "CD34XY000001");
    EXPECT_EQ(created["path"], (folder.path() / "root" / "CD34XY000001").string());
    EXPECT_EQ(TreeChanges(SnapshotTree(folder.path() / "incoming"),
                          SnapshotTree(folder.path() / "root" / "CD34XY000001")),
              "");

    // A changed package, named with a trailing slash, does not replace the one in place.
    WriteBytes(folder.path() / "incoming" / "CD34XY000001.RGF", "changed");
    const Tree inPlace = SnapshotTree(folder.path() / "root");
    EXPECT_EQ(Succeeds("repair @/root @/incoming/", folder.path())["created"], "false");
    EXPECT_EQ(TreeChanges(inPlace, SnapshotTree(folder.path() / "root")), "");
}

// ---- the help and the README ----

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The entries of a help section ("Subcommands:", "Options:", "Positionals:") up to its next blank
// line: each one's name ("pack", "--kind", "FOLDER") with what follows the name.
std::vector<std::pair<std::string, std::string>> HelpEntries(const std::string& help,
                                                             const std::string& title)
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::istringstream in(help);
    std::string line;
    while (std::getline(in, line) && line != title) {
    }
    while (std::getline(in, line) && !line.empty()) {
        const std::string trimmed = Trim(line);
        const auto end = std::min(trimmed.find_first_of(" :"), trimmed.size());
        // Deeper indented lines carry a description over.
        if (!line.starts_with("   ") && !trimmed.empty() && trimmed.substr(0, end) != "-h,--help")
            entries.emplace_back(trimmed.substr(0, end), Trim(trimmed.substr(end)));
    }
    return entries;
}

// The README's row for a command or option: the table line whose first cell starts with it.
std::string ReadmeRow(const std::string& readme, const std::string& command)
{
    std::istringstream in(readme);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("| `" + command + " ") || line.starts_with("| `" + command + "`"))
            return line;
    }
    return {};
}

TEST(CliHelp, EveryCommandItsArgumentsTheCommonOptionsAndTheExitCodesAreInTheReadme)
{
    const std::string readme = ReadBytes(kReadme);
    ASSERT_FALSE(readme.empty()) << kReadme;
    const ProcessResult top = Quillon("--help");
    ASSERT_EQ(top.exitCode, 0) << Describe(top);

    // A command's row holds its description as a cell and names every argument its help lists.
    const auto expectRow = [&](const std::string& command, const std::string& description,
                               const std::string& help) {
        const std::string row = ReadmeRow(readme, command);
        EXPECT_NE(row.find("| " + description + " |"), std::string::npos)
            << "README row of " << command << ": " << row;
        for (const auto& title : {"Positionals:", "Options:"}) {
            for (const auto& [name, rest] : HelpEntries(help, title))
                EXPECT_NE(row.find(name), std::string::npos) << row << " lacks " << name;
        }
    };
    const auto commands = HelpEntries(top.out, "Subcommands:");
    ASSERT_GE(commands.size(), 11u) << top.out;
    for (const auto& [command, description] : commands) {
        const ProcessResult help = Quillon(command + " --help");
        ASSERT_EQ(help.exitCode, 0) << Describe(help);
        const auto members = HelpEntries(help.out, "Subcommands:");
        if (members.empty())
            expectRow(command, description, help.out);
        else  // a group such as "version": its description in the text, a row for each member
            EXPECT_NE(readme.find(description), std::string::npos) << command << ": " << description;
        for (const auto& [member, memberDescription] : members)
            expectRow(command + " " + member, memberDescription,
                      Quillon(command + " " + member + " --help").out);
    }

    for (const auto& [option, rest] : HelpEntries(top.out, "Options:"))
        EXPECT_TRUE(option.rfind("--", 0) != 0 || !ReadmeRow(readme, option).empty())
            << "no README row: " << option;

    // The exit codes, line for line as the help prints them.
    const auto footer = top.out.find("Exit codes:\n");
    ASSERT_NE(footer, std::string::npos);
    std::istringstream codes(top.out.substr(footer + 12));
    int codeCount = 0;
    for (std::string line; std::getline(codes, line) && !line.empty();) {
        EXPECT_NE(readme.find(line + "\n"), std::string::npos) << "README lacks the exit code line: " << line;
        // "  N  text": two blanks, the digit, two blanks, the meaning.
        codeCount += line.size() > 5 && line.compare(0, 2, "  ") == 0 &&
                     std::isdigit(static_cast<unsigned char>(line[2])) && line.compare(3, 2, "  ") == 0;
    }
    EXPECT_EQ(codeCount, 5);
}

TEST(CliHelp, VersionsExitCodesManualAndCompletionsComeFromTheToolsDefinitions)
{
    const ProcessResult version = Quillon("--version");
    EXPECT_EQ(version.exitCode, 0) << Describe(version);
    EXPECT_EQ(version.out.rfind("quillon ", 0), 0u) << Describe(version);
    EXPECT_NE(version.out.find("(library "), std::string::npos) << Describe(version);
    // A command's help lists the exit codes it can end with, and those only.
    const std::string check = Quillon("check --help").out;
    EXPECT_NE(check.find("Exit codes:\n  0  success\n  2  usage"), std::string::npos) << check;
    EXPECT_EQ(check.find("no device showed up"), std::string::npos) << check;
    EXPECT_NE(Quillon("--generate man").out.find(".SS \\fBdownload\\fR \\fIZIP\\fR \\fIFOLDER\\fR"),
              std::string::npos);
#if !defined(_WIN32)
    // What bash offers after "quillon version " and after "quillon download --st".
    const ProcessResult bash =
        RunProcess({"bash", "-c",
                    "source <('" + kQuillon +
                        "' --generate bash) && offer() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                        "_quillon; echo \"${COMPREPLY[*]}\"; } && offer quillon version '' && offer quillon "
                        "download --st"});
    EXPECT_EQ(bash.out, "get set\n--stall\n") << Describe(bash);
#endif
}

}  // namespace
}  // namespace quillon::testing
