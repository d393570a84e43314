#include <gtest/gtest.h>

#include <chrono>

#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

using Version = TcpTransfer;
using namespace std::chrono;

// Proves that the host sent nothing else in the meantime: the next frame is the record it is
// asked to write now.
void ExpectNextFrameIsARecord(TcpTransfer& test, CQuillon& quillon, DevicePeer& device)
{
    char name[12] = {'S', 'E', 'N', 'T', 'I', 'N', 'E', 'L', '0', '0', '0', '0'};
    quillon.WriteDeviceMsg(name);
    const auto frame = device.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->type(), TypeByte(FrameType::Record)) << "something else was sent before";
    (void)test;
}

TEST_F(Version, ReadGivesTheDevicesAnswerAfterTheWholeWindow)
{
    const auto start = steady_clock::now();
    auto version = OnHostThread([&] { return quillon().ReadFileVersion(1); });
    ExpectCommand(2, 1, 2);
    EXPECT_EQ(Registry().PendingOp.load(), 11);
    device().SendValue(1, 2, 7);
    EXPECT_EQ(version.get(), 7);
    EXPECT_GE(steady_clock::now() - start, seconds(2));
    EXPECT_EQ(Registry().PendingOp.load(), 11);
}

TEST_F(Version, AnswersThatDoNotFitTheRequestAreIgnored)
{
    auto version = OnHostThread([&] { return quillon().ReadFileVersion(1); });
    ExpectCommand(2, 1, 2);
    device().SendValue(0, 2, 7);  // another kind
    device().SendValue(1, 1, 8);  // another item
    EXPECT_EQ(version.get(), -1);
    ExpectNextFrameIsARecord(*this, quillon(), device());  // no abort after a quiet window
}

TEST_F(Version, SilentDeviceGivesNoVersionAndNoAbort)
{
    const auto start = steady_clock::now();
    EXPECT_EQ(quillon().ReadFileVersion(0), -1);
    EXPECT_GE(steady_clock::now() - start, seconds(2));
    ExpectCommand(2, 0, 2);
    ExpectNextFrameIsARecord(*this, quillon(), device());
}

TEST_F(Version, CloseRequestDuringTheWindowAborts)
{
    auto version = OnHostThread([&] { return quillon().ReadFileVersion(2); });
    ExpectCommand(2, 2, 2);
    Registry().SetCloseExe(true);
    EXPECT_EQ(version.get(), -1);
    ExpectCommand(0, 0, 0);
    EXPECT_EQ(Registry().PendingOp.load(), -1);
}

TEST_F(Version, KindsAboveTwoAreRefusedWithoutAWord)
{
    for (char kind : {char(3), char(-1), char(0x7F)}) {
        const auto start = steady_clock::now();
        EXPECT_EQ(quillon().ReadFileVersion(kind), -1);
        EXPECT_EQ(quillon().WriteFileVersion(kind, 1), -1);
        EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    }
    ExpectNextFrameIsARecord(*this, quillon(), device());
}

TEST_F(Version, WriteStoresTheVersionInTwoAcknowledgedSteps)
{
    auto result = OnHostThread([&] { return quillon().WriteFileVersion(0, 5); });
    ExpectCommand(1, 0, 2);
    EXPECT_EQ(Registry().PendingOp.load(), 1);
    device().SendAck();
    const auto value = device().ReadFrame();
    ASSERT_TRUE(value && value->checked());
    ASSERT_EQ(value->type(), TypeByte(FrameType::Value));
    EXPECT_EQ(Bytes(value->clear.begin() + 2, value->clear.begin() + 16),
              (Bytes{0, 2, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    device().SendAck();
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(Registry().PendingOp.load(), 1);

    auto negative = OnHostThread([&] { return quillon().WriteFileVersion(2, -2); });
    ExpectCommand(1, 2, 2);
    device().SendAck();
    const auto second = device().ReadFrame();
    ASSERT_TRUE(second && second->checked());
    EXPECT_EQ(Le32(*second, 4), 0xFFFFFFFEu);
    device().SendAck();
    EXPECT_EQ(negative.get(), 0);
}

TEST_F(Version, WriteThatIsNotAcknowledgedIsAborted)
{
    const auto start = steady_clock::now();
    auto result = OnHostThread([&] { return quillon().WriteFileVersion(1, 9); });
    ExpectCommand(1, 1, 2);
    ExpectCommand(0, 0, 0);  // after about a second of silence
    EXPECT_GE(steady_clock::now() - start, seconds(1));
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Registry().PendingOp.load(), -1);
}

TEST_F(Version, RefusedWriteIsAborted)
{
    auto result = OnHostThread([&] { return quillon().WriteFileVersion(1, 9); });
    ExpectCommand(1, 1, 2);
    device().SendAck();
    ASSERT_TRUE(device().ReadFrame());  // the value
    device().SendAck(1);
    ExpectCommand(0, 0, 0);  // the dispatcher's answer to the refusal
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Registry().PendingOp.load(), -1);
}

}  // namespace
}  // namespace quillon::testing
