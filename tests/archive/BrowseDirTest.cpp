#include "archive/BrowseDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/Platform.h"
#include "common/ScratchFolder.h"

namespace {

using quillon::testing::kWindows;
using quillon::testing::ScratchFolder;
using Counts = std::pair<int, int>;  // files, folders

// Five files in four folders, the root included; sub2 is empty.
class BrowseDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* file : {"a.ORI", "b.txt", "sub1/c.ORI", "sub1/deeper/d.ORI", "sub1/deeper/e.dst"})
            scratch.file(file, "x");
        scratch.folder("sub2");
    }

    ScratchFolder scratch;
};

Counts CountsOf(CBrowseDir& walker) { return {walker.GetFileCount(), walker.GetSubdirCount()}; }

Counts Walk(CBrowseDir& walker, const std::string& root, const char* pattern)
{
    EXPECT_TRUE(walker.SetInitDir(root.c_str()));
    EXPECT_TRUE(walker.BeginBrowse(pattern));
    return CountsOf(walker);
}

TEST_F(BrowseDir, CountsTheFilesThatMatchAndEveryFolderAndASecondWalkAddsToThem)
{
    const std::vector<std::pair<const char*, Counts>> cases = {
        {"*", {5, 4}}, {"*.*", {5, 4}}, {"*.ORI", {3, 4}}, {"?.dst", {1, 4}}, {"*.none", {0, 4}},
    };
    for (const auto& [pattern, counts] : cases) {
        SCOPED_TRACE(pattern);
        CBrowseDir walker;
        EXPECT_EQ(Walk(walker, scratch.path(), pattern), counts);
    }

    CBrowseDir walker;
    EXPECT_EQ(CountsOf(walker), Counts(0, 0));
    ScratchFolder empty;
    EXPECT_EQ(Walk(walker, empty.path(), "*"), Counts(0, 1));
    EXPECT_EQ(Walk(walker, scratch.path("sub1"), "*"), Counts(0 + 3, 1 + 2));
}

TEST_F(BrowseDir, CopiesAndAssignmentsCarryCountsAndTheFolder)
{
    CBrowseDir walked;
    ASSERT_EQ(Walk(walked, scratch.path(), "*"), Counts(5, 4));

    CBrowseDir copied(walked);
    CBrowseDir moved(std::move(copied));
    CBrowseDir assigned;
    assigned = walked;
    CBrowseDir moveAssigned;
    moveAssigned = std::move(assigned);
    for (CBrowseDir* walker : {&moved, &moveAssigned}) {
        EXPECT_EQ(CountsOf(*walker), Counts(5, 4));
        // The folder travelled in the base's buffers: the copy walks it without being told.
        EXPECT_TRUE(walker->BeginBrowse("*.ORI"));
        EXPECT_EQ(CountsOf(*walker), Counts(5 + 3, 4 + 4));
    }
    EXPECT_EQ(CountsOf(walked), Counts(5, 4));
}

// Remembers every call in order, and answers as told after the counting walker has had it.
class Recorder : public CBrowseDir {
public:
    std::vector<std::string> calls;
    int stopAtFile = -1;         // ProcessFile says stop at this file; -1: never
    bool refuseFolders = false;  // ProcessDir says false

protected:
    bool ProcessFile(std::string path) override
    {
        calls.push_back("file " + path);
        const bool goOn = CBrowseDir::ProcessFile(path);
        return GetFileCount() == stopAtFile ? false : goOn;
    }
    bool ProcessDir(std::string path, std::string parentPath) override
    {
        calls.push_back("folder " + path + " in " + parentPath);
        const bool goOn = CBrowseDir::ProcessDir(path, parentPath);
        return refuseFolders ? false : goOn;
    }
};

TEST_F(BrowseDir, VisitsDepthFirstInNameOrderEachFolderAfterItsEntriesUntilAFileVisitSaysStop)
{
    const std::vector<std::string> expected = {
        "file " + scratch.path("a.ORI"),
        "file " + scratch.path("b.txt"),
        "file " + scratch.path("sub1/c.ORI"),
        "file " + scratch.path("sub1/deeper/d.ORI"),
        "file " + scratch.path("sub1/deeper/e.dst"),
        "folder " + scratch.path("sub1/deeper") + " in " + scratch.path("sub1"),
        "folder " + scratch.path("sub1") + " in " + scratch.path(),
        "folder " + scratch.path("sub2") + " in " + scratch.path(),
        "folder " + scratch.path() + " in ",
    };
    // A folder visit is counted, and the walk goes on, whatever the visit answers.
    for (const bool refuseFolders : {false, true}) {
        SCOPED_TRACE(refuseFolders ? "folders refused" : "folders accepted");
        Recorder recorder;
        recorder.refuseFolders = refuseFolders;
        EXPECT_EQ(Walk(recorder, scratch.path(), "*"), Counts(5, 4));
        EXPECT_EQ(recorder.calls, expected);
    }

    Recorder stopped;
    stopped.stopAtFile = 3;
    ASSERT_TRUE(stopped.SetInitDir(scratch.path().c_str()));
    EXPECT_FALSE(stopped.BeginBrowse("*"));
    EXPECT_EQ(CountsOf(stopped), Counts(3, 0));
    EXPECT_EQ(stopped.calls, std::vector<std::string>(expected.begin(), expected.begin() + 3));
}

TEST_F(BrowseDir, RefusesWhatItCannotWalk)
{
    const std::string tooLong(CBrowseDirBase::kPathCapacity, 'x');
    const std::string fits(CBrowseDirBase::kPathCapacity - 1, 'z');  // but there is no such folder
    // A folder that exists, but whose name does not fit.
    const std::string deep =
        scratch.folder(std::string(100, 'd') + "/" + std::string(100, 'e') + "/" + std::string(100, 'f'));
    const std::string file = scratch.path("a.ORI");
    const std::string missing = scratch.path("missing");

    CBrowseDir walker;
    EXPECT_FALSE(walker.BeginBrowse("*")) << "no folder set";
    for (const char* dir : {static_cast<const char*>(nullptr), "", tooLong.c_str(), fits.c_str(),
                            deep.c_str(), file.c_str(), missing.c_str()}) {
        SCOPED_TRACE(dir == nullptr ? "null" : dir);
        EXPECT_FALSE(walker.SetInitDir(dir));
    }

    ASSERT_TRUE(walker.SetInitDir(scratch.path().c_str()));
    EXPECT_FALSE(walker.BeginBrowse(nullptr));
    EXPECT_FALSE(walker.BeginBrowse(tooLong.c_str()));
    EXPECT_FALSE(walker.SetInitDir(missing.c_str()));
    EXPECT_FALSE(walker.BeginBrowse("*")) << "a refused folder also forgets the one set before";
    EXPECT_EQ(CountsOf(walker), Counts(0, 0));
}

TEST_F(BrowseDir, ATreeDeeperThanTheFoldersItHoldsOpenIsWalkedWhole)
{
    if (kWindows)
        GTEST_SKIP() << "Windows' narrow file functions stop at 260 characters, short of 300 folders";
    // The walk holds the folders on its way open down to a depth, and goes by path below it.
    std::string folder;
    for (int depth = 1; depth <= 300; ++depth) {
        folder += "d/";
        scratch.file(folder + "f.ORI", "x");
    }
    CBrowseDir walker;
    EXPECT_EQ(Walk(walker, scratch.path("d"), "*.ORI"), Counts(300, 300));
}

TEST_F(BrowseDir, LinksAreNotFollowed)
{
    ScratchFolder outside;
    outside.file("elsewhere.ORI");
    outside.file("inner/more.ORI");
    std::error_code error;
    std::filesystem::create_directory_symlink(outside.path(), scratch.path("link-to-folder"), error);
    if (!error)
        std::filesystem::create_symlink(outside.path("elsewhere.ORI"), scratch.path("link-to-file.ORI"),
                                        error);
    if (error)
        GTEST_SKIP() << "links cannot be made here: " << error.message();

    CBrowseDir walker;
    EXPECT_EQ(Walk(walker, scratch.path(), "*"), Counts(5, 4));
    CBrowseDir throughLink;  // the tree itself may be named through a link
    EXPECT_EQ(Walk(throughLink, scratch.path("link-to-folder"), "*"), Counts(2, 2));
}

TEST_F(BrowseDir, AFolderThatCannotBeReadStopsTheWalk)
{
    const std::string locked = scratch.folder("sub1/locked");
    scratch.file("sub1/locked/hidden.ORI");
    std::error_code error;
    std::filesystem::permissions(locked, std::filesystem::perms::none, error);
    std::filesystem::directory_iterator probe(locked, error);
    if (!error) {
        std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
        GTEST_SKIP() << "permissions do not keep this user out of a folder";
    }

    CBrowseDir walker;
    ASSERT_TRUE(walker.SetInitDir(scratch.path().c_str()));
    EXPECT_FALSE(walker.BeginBrowse("*"));
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    EXPECT_EQ(CountsOf(walker), Counts(5, 1)) << "what came before the locked folder";
}

}  // namespace
