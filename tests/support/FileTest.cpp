#include "support/hostapi/File.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "common/ScratchFolder.h"
#include "support/fs/Wildcard.h"

namespace {

using libmarl::TDirectory;
using libmarl::TFile;
using quillon::testing::ReadBytes;
using quillon::testing::ScratchFolder;
using Names = std::list<std::string>;

TEST(FileNames, NameAndExtensionComeFromTheLastComponent)
{
    struct Case {
        std::string path, name, extension;
    };
    const std::vector<Case> cases = {
        {"C:/mixed\\separators\\DeviceSet.DST", "DeviceSet.DST", "DST"},
        {"archive.tar.gz", "archive.tar.gz", "gz"},
        {"folder.d/noextension", "noextension", ""},
        {"dir/.profile", ".profile", ""},
        {"dir/endsWithDot.", "endsWithDot.", ""},
        {"dir/", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        TFile file(c.path);
        for (const auto& name : {TFile::getName(c.path), file.getName()})
            EXPECT_EQ(name, c.name);
        for (const auto& extension : {TFile::getExtension(c.path), file.getExtension()})
            EXPECT_EQ(extension, c.extension);
    }
}

TEST(FileOnDisk, LengthAndExistenceOfWhatIsThere)
{
    ScratchFolder scratch;
    struct Case {
        const char* name;
        std::string path;
        long length;
        bool exists;
    };
    const std::vector<Case> cases = {
        {"file", scratch.file("five.bin", std::string("ab\0\r\n", 5)), 5, true},
        {"empty file", scratch.file("empty.bin"), 0, true},
        {"folder", scratch.folder("folder"), -1, true},
        {"missing", scratch.path("missing.bin"), -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFile file(c.path);
        for (const long length : {TFile::length(c.path), file.length()})
            EXPECT_EQ(length, c.length);
        for (const bool exists : {TFile::exists(c.path), file.exists(), file.isValid()})
            EXPECT_EQ(exists, c.exists);
    }
}

TEST(FileOnDisk, CopyWritesTheSameBytesOverTheTargetOrFailsLeavingItAlone)
{
    ScratchFolder scratch;
    std::string contents(200000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>(i * 7 % 251);
    const std::string source = scratch.file("source.bin", contents);
    const std::string fresh = scratch.path("fresh.bin");
    EXPECT_TRUE(TFile::copy(source, fresh));
    EXPECT_EQ(ReadBytes(fresh), contents);
    const std::string existing = scratch.file("existing.bin", "old and longer than nothing");
    TFile(source).copy(existing);
    EXPECT_EQ(ReadBytes(existing), contents);
    EXPECT_TRUE(TFile::copy(source, source));
    EXPECT_EQ(ReadBytes(source), contents);

    const std::string target = scratch.file("target.bin", "keep");
    scratch.folder("folder");
    const std::vector<std::pair<std::string, std::string>> failures = {
        {scratch.path("missing.bin"), target},         // no source
        {scratch.path("folder"), target},              // the source is a folder
        {source, scratch.path("nowhere/target.bin")},  // no folder to write into
        {source, scratch.path("folder")},              // the target is a folder
        {"", ""},
    };
    for (const auto& [from, to] : failures)
        EXPECT_FALSE(TFile::copy(from, to)) << from << " to " << to;
    EXPECT_EQ(ReadBytes(target), "keep");
    EXPECT_EQ(TDirectory(scratch.path(), "*").getFileNames(),
              (Names{"existing.bin", "fresh.bin", "source.bin", "target.bin"}))
        << "no half-written copies left behind";
    EXPECT_TRUE(TDirectory(scratch.path("folder"), "*").getFileNames().empty());
}

TEST(Directory, ListsTheFilesThatMatchTheFilterAsOfTheLastRefreshAndNothingOfAFolderItCannotRead)
{
    ScratchFolder scratch;
    for (const char* name : {"AB12.ORI", "ab12_B.ori", "AB12.RGF", "CD34.bdb", "DeviceSet.DST", "README"})
        scratch.file(name, "x");
    scratch.folder("AB99.ORI");  // a folder with a file's name is no file
    scratch.file("sub/EF56.ORI", "x");

    // Which names a filter matches is the wildcard's rule, tested below; here, that it is applied.
    struct Case {
        std::string path, filter;
        Names names;
        bool valid;
    };
    const std::vector<Case> cases = {
        {scratch.path(),
         "",
         {"AB12.ORI", "AB12.RGF", "CD34.bdb", "DeviceSet.DST", "README", "ab12_B.ori"},
         true},
        {scratch.path(), "*.ORI", {"AB12.ORI", "ab12_B.ori"}, true},
        {scratch.path(), "nothing*", {}, true},
        {"", "*", {}, false},
        {scratch.path("missing"), "*", {}, false},
        {scratch.path("README"), "*", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("\"" + c.path + "\", filter \"" + c.filter + "\"");
        TDirectory directory(c.path, c.filter);
        EXPECT_EQ(directory.isValid(), c.valid);
        EXPECT_EQ(directory.getFileNames(), c.names);
        EXPECT_EQ(directory.refresh(), c.valid);
    }

    TDirectory directory(scratch.path(), "*.ORI");
    const TDirectory before = directory;
    scratch.file("second.ORI");
    scratch.file("third.RGF");
    EXPECT_EQ(directory.getFileNames(), (Names{"AB12.ORI", "ab12_B.ori"}));
    EXPECT_TRUE(directory.refresh());
    EXPECT_EQ(directory.getFileNames(), (Names{"AB12.ORI", "ab12_B.ori", "second.ORI"}));
    EXPECT_EQ(before.getFileNames(), (Names{"AB12.ORI", "ab12_B.ori"})) << "a copy keeps its own list";
}

TEST(Wildcard, MatchesLikeWindowsFolderSearches)
{
    struct Case {
        std::string pattern, name;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"", "anything", true},
        {"*", "", true},
        {"*.*", "no-dot", true},
        {"*.ORI", "a.ori", true},
        {"*.ORI", "a.ORIG", false},
        {"*.ORI", ".ORI", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a*b*c", "aXXbYYc", true},
        {"a*b*c", "aXXbYY", false},
        {"*?", "", false},
        {"**x", "abx", true},
        {"x", "X", true},
        {"\xC4*", "\xC4\xE4", true},  // bytes above ASCII match themselves only
        {"\xC4", "\xE4", false},
        // Many stars against a long name: must end quickly, not try every way to place them.
        {"a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a'), false},
        {"a*a*a*a*a*a*a*a*a*a*a*a*a", std::string(5000, 'a'), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quillon::WildcardMatch(c.pattern, c.name), c.matches)
            << c.pattern << " / " << c.name.substr(0, 9);
}

}  // namespace
