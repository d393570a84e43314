#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

using namespace std::chrono;

class Version : public TcpTransfer {
protected:
    // Proves that the host sent nothing else in the meantime: the next frame is the record it is
    // asked to write now, with the name as it is given, zero byte and all.
    void ExpectNextFrameIsARecord()
    {
        char name[12] = {'S', 'E', 'N', 0, 'I', 'N', 'E', 'L', '0', '0', '0', '0'};
        quillon().WriteDeviceMsg(name);
        const auto frame = Expect(FrameType::Record);
        ASSERT_TRUE(frame) << "something else was sent before";
        EXPECT_EQ(frame->at(2), 0x57);
        EXPECT_EQ(Bytes(frame->clear.begin() + 4, frame->clear.begin() + 16), Bytes(name, name + 12));
    }
};

// A read waits out its whole two-second window and takes the answer that fits the request; with
// none, it gives no version and sends no abort.
TEST_F(Version, ReadGivesTheFittingAnswerAfterTheWholeWindow)
{
    struct Case {
        const char* name;
        char kind;
        std::vector<std::array<std::uint8_t, 3>> answers;  // kind, item, value
        int expected;
    };
    const std::vector<Case> cases = {
        {"fitting answer", 1, {{1, 2, 7}}, 7},
        {"another kind, then another item", 1, {{0, 2, 7}, {1, 1, 8}}, -1},
        {"silent device", 0, {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = steady_clock::now();
        auto version = OnHostThread([&] { return quillon().ReadFileVersion(c.kind); });
        ExpectCommand(2, static_cast<std::uint8_t>(c.kind), 2);
        EXPECT_EQ(Registry().PendingOp.load(), 11);
        for (const auto& a : c.answers)
            device().SendValue(a[0], a[1], a[2]);
        EXPECT_EQ(version.get(), c.expected);
        EXPECT_GE(steady_clock::now() - start, seconds(2));
        if (c.expected < 0)
            ExpectNextFrameIsARecord();
        else
            EXPECT_EQ(Registry().PendingOp.load(), 11);
    }
}

TEST_F(Version, CloseRequestDuringTheWindowAborts)
{
    auto version = OnHostThread([&] { return quillon().ReadFileVersion(2); });
    ExpectCommand(2, 2, 2);
    // Nothing follows while the read waits; the close request comes in the middle of the wait.
    EXPECT_TRUE(device().Quiet(200ms));
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
    ExpectNextFrameIsARecord();
}

TEST_F(Version, WriteStoresTheVersionInTwoAcknowledgedSteps)
{
    struct Case {
        char kind;
        int version;
        Bytes body;  // the value frame's, from offset 2
    };
    for (const auto& c : std::vector<Case>{{0, 5, {0, 2, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                                           {2, -2, {2, 2, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}}}) {
        SCOPED_TRACE(c.version);
        auto result = OnHostThread([&] { return quillon().WriteFileVersion(c.kind, c.version); });
        ExpectCommand(1, static_cast<std::uint8_t>(c.kind), 2);
        EXPECT_EQ(Registry().PendingOp.load(), 1);
        device().SendAck();
        const auto value = Expect(FrameType::Value);
        ASSERT_TRUE(value);
        EXPECT_EQ(Bytes(value->clear.begin() + 2, value->clear.begin() + 16), c.body);
        device().SendAck();
        EXPECT_EQ(result.get(), 0);
        EXPECT_EQ(Registry().PendingOp.load(), 1);
    }
}

// Silence for about a second, or a refusal of the value, ends a write with the abort command.
TEST_F(Version, WriteThatIsNotAcknowledgedOrRefusedIsAborted)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "not acknowledged");
        const auto start = steady_clock::now();
        auto result = OnHostThread([&] { return quillon().WriteFileVersion(1, 9); });
        ExpectCommand(1, 1, 2);
        if (refused) {
            device().SendAck();
            ASSERT_TRUE(Expect(FrameType::Value));
            device().SendAck(1);
        }
        ExpectCommand(0, 0, 0);
        if (!refused) {
            EXPECT_GE(steady_clock::now() - start, seconds(1));
        }
        EXPECT_EQ(result.get(), -1);
        EXPECT_EQ(Registry().PendingOp.load(), -1);
    }
}

}  // namespace
}  // namespace quillon::testing
