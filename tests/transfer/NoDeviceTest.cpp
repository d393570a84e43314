// With no device on either link, every operation fails at once and sends nothing.
#include <gtest/gtest.h>

#include <chrono>

#include "common/LoopbackLink.h"
#include "common/TempFolder.h"
#include "transfer/Quillon.h"

namespace quillon::testing {
namespace {

TEST(NoDevice, OperationsFailAtOnceAndChangeNothing)
{
    TempFolder folder;
    WriteBytes(folder.path() / "a.zip", "not really an archive");
    CQuillon quillon(LoopbackLink());
    auto& registry = *CSysconfig_SET::get();
    ASSERT_EQ(registry.GetSeriOrTcp(), kNoLink);
    char name[12] = {};

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quillon.WriteSettoHard(folder.str("a.zip"), 0), -1);
    quillon.ReadSetFromHard(folder.str("b.zip"), 0);
    EXPECT_EQ(quillon.ReadFileVersion(0), -1);
    EXPECT_EQ(quillon.WriteFileVersion(0, 1), -1);
    quillon.WriteDeviceMsg(name);
    EXPECT_FALSE(quillon.JudgeIsAvailable());
    EXPECT_EQ(quillon.CheckDeviceSETDir(folder.path().wstring()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << "nothing waited";

    EXPECT_EQ(registry.PendingOp.load(), -1);
    EXPECT_FALSE(registry.GetReadfinish());
    EXPECT_FALSE(registry.GetWritefinish());
    EXPECT_FALSE(fs::exists(folder.path() / "b.zip"));
}

TEST(NoDevice, CloseFlagFollowsTheTransferObject)
{
    auto& registry = *CSysconfig_SET::get();
    registry.SetCloseExe(true);
    {
        CQuillon quillon(LoopbackLink());
        EXPECT_FALSE(registry.GetCloseExe());
    }
    EXPECT_TRUE(registry.GetCloseExe());
}

}  // namespace
}  // namespace quillon::testing
