#include "support/File.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "common/ScratchFolder.h"
#include "support/Wildcard.h"

namespace {

using libmarl::TDirectory;
using libmarl::TFile;
using quillon::testing::ScratchFolder;

TEST(FileNames, NameAndExtensionComeFromTheLastComponent)
{
    struct Case {
        std::string path;
        std::string name;
        std::string extension;
    };
    const std::vector<Case> cases = {
        {"C:\\Packages\\AB12\\AB12.ORI", "AB12.ORI", "ORI"},
        {"packages/AB12/AB12_B.ORI", "AB12_B.ORI", "ORI"},
        {"mixed\\separators/DeviceSet.DST", "DeviceSet.DST", "DST"},
        {"archive.tar.gz", "archive.tar.gz", "gz"},
        {"folder.d/noextension", "noextension", ""},
        {"noextension", "noextension", ""},
        {"dir/.profile", ".profile", ""},
        {"dir/endsWithDot.", "endsWithDot.", ""},
        {"dir/", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(TFile::getName(c.path), c.name);
        EXPECT_EQ(TFile::getExtension(c.path), c.extension);
        TFile file(c.path);
        EXPECT_EQ(file.getName(), c.name);
        EXPECT_EQ(file.getExtension(), c.extension);
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
        {"below a file", scratch.path("five.bin/x"), -1, false},
        {"empty path", "", -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TFile::length(c.path), c.length);
        EXPECT_EQ(TFile::exists(c.path), c.exists);
        TFile file(c.path);
        EXPECT_EQ(file.length(), c.length);
        EXPECT_EQ(file.exists(), c.exists);
        EXPECT_EQ(file.isValid(), c.exists);
    }
}

TEST(FileOnDisk, CopyWritesTheSameBytesAndReplacesTheTarget)
{
    ScratchFolder scratch;
    std::string contents(200000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>(i * 7 % 251);
    const std::string source = scratch.file("source.bin", contents);

    const std::string fresh = scratch.path("fresh.bin");
    EXPECT_TRUE(TFile::copy(source, fresh));
    EXPECT_EQ(quillon::testing::ReadBytes(fresh), contents);

    const std::string existing = scratch.file("existing.bin", "old and longer than nothing");
    TFile(source).copy(existing);
    EXPECT_EQ(quillon::testing::ReadBytes(existing), contents);

    EXPECT_TRUE(TFile::copy(source, source));
    EXPECT_EQ(quillon::testing::ReadBytes(source), contents);

    EXPECT_EQ(TDirectory(scratch.path(), "*").getFileNames(),
              (std::list<std::string>{"existing.bin", "fresh.bin", "source.bin"}))
        << "no half-written copies left behind";
}

TEST(FileOnDisk, CopyFailsCleanly)
{
    ScratchFolder scratch;
    const std::string source = scratch.file("source.bin", "data");
    const std::string target = scratch.file("target.bin", "keep");
    scratch.folder("folder");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {scratch.path("missing.bin"), target},        // no source
        {scratch.path("folder"), target},             // the source is a folder
        {source, scratch.path("nowhere/target.bin")},  // no folder to write into
        {source, scratch.path("folder")},             // the target is a folder
        {"", ""},
    };
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(from + " to " + to);
        EXPECT_FALSE(TFile::copy(from, to));
    }
    EXPECT_EQ(quillon::testing::ReadBytes(target), "keep");
    EXPECT_EQ(TDirectory(scratch.path(), "*").getFileNames(), (std::list<std::string>{"source.bin", "target.bin"}));
    EXPECT_TRUE(TDirectory(scratch.path("folder"), "*").getFileNames().empty());
}

TEST(Directory, ListsTheFilesThatMatchTheFilter)
{
    ScratchFolder scratch;
    for (const char* name : {"AB12.ORI", "ab12_B.ori", "AB12.RGF", "CD34.bdb", "DeviceSet.DST", "README"})
        scratch.file(name, "x");
    scratch.folder("AB99.ORI");  // a folder with a file's name is no file
    scratch.file("sub/EF56.ORI", "x");

    struct Case {
        std::string filter;
        std::list<std::string> names;
    };
    const std::list<std::string> all = {"AB12.ORI", "AB12.RGF", "CD34.bdb", "DeviceSet.DST", "README",
                                        "ab12_B.ori"};
    const std::vector<Case> cases = {
        {"", all},
        {"*", all},
        {"*.*", all},
        {"*.ORI", {"AB12.ORI", "ab12_B.ori"}},
        {"*_b.ORI", {"ab12_B.ori"}},
        {"AB12.???", {"AB12.ORI", "AB12.RGF"}},
        {"DeviceSet.DST", {"DeviceSet.DST"}},
        {"nothing*", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("filter \"" + c.filter + "\"");
        const TDirectory directory(scratch.path(), c.filter);
        EXPECT_TRUE(directory.isValid());
        EXPECT_EQ(directory.getFileNames(), c.names);
    }
}

TEST(Directory, AFolderThatCannotBeReadGivesNoNames)
{
    ScratchFolder scratch;
    const std::string file = scratch.file("file.txt", "x");
    for (const std::string& path : {std::string(), scratch.path("missing"), file}) {
        SCOPED_TRACE("\"" + path + "\"");
        TDirectory directory(path, "*");
        EXPECT_FALSE(directory.isValid());
        EXPECT_TRUE(directory.getFileNames().empty());
        EXPECT_FALSE(directory.refresh());
    }
    const TDirectory none;
    EXPECT_EQ(none.getPath(), "");
    EXPECT_EQ(none.getFilter(), "");
    EXPECT_TRUE(none.getFileNames().empty());
}

TEST(Directory, RefreshReadsTheFolderAgainAndCopiesKeepTheirList)
{
    ScratchFolder scratch;
    scratch.file("first.ORI");
    TDirectory directory(scratch.path(), "*.ORI");
    const TDirectory before = directory;
    scratch.file("second.ORI");
    scratch.file("third.RGF");
    EXPECT_EQ(directory.getFileNames(), (std::list<std::string>{"first.ORI"}));
    EXPECT_TRUE(directory.refresh());
    EXPECT_EQ(directory.getFileNames(), (std::list<std::string>{"first.ORI", "second.ORI"}));
    EXPECT_EQ(before.getFileNames(), (std::list<std::string>{"first.ORI"}));
}

TEST(Wildcard, MatchesLikeWindowsFolderSearches)
{
    struct Case {
        const char* pattern;
        const char* name;
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " against " + c.name);
        EXPECT_EQ(quillon::WildcardMatch(c.pattern, c.name), c.matches);
    }
}

TEST(Wildcard, ManyStarsAgainstALongNameEndQuickly)
{
    const std::string name(5000, 'a');
    EXPECT_FALSE(quillon::WildcardMatch("a*a*a*a*a*a*a*a*a*a*a*a*b", name));
    EXPECT_TRUE(quillon::WildcardMatch("a*a*a*a*a*a*a*a*a*a*a*a*a", name));
}

}  // namespace
