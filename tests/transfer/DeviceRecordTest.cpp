#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

using namespace std::chrono;

class RecordAndProbe : public TcpTransfer {
protected:
    // Answers the host's record requests with a record frame carrying name at offsets 4 .. 15,
    // as many frames as given, until the host's directory check returns.
    int CheckDirectoryAnswering(const std::wstring& folder, const std::vector<std::string>& names)
    {
        auto result = OnHostThread([&] { return quillon().CheckDeviceSETDir(folder); });
        if (const auto request = Expect(FrameType::RecordRequest)) {
            EXPECT_EQ(Bytes(request->clear.begin() + 2, request->clear.begin() + 6),
                      (Bytes{0x52, 0xA0, 0xAA, 0xAA}));
        }
        for (const std::string& name : names) {
            Bytes body(66, 0xAA);
            body[0] = 0x52;
            body[1] = 0xA0;
            std::copy(name.begin(), name.begin() + std::min<std::size_t>(name.size(), 64), body.begin() + 2);
            device().Send(FrameType::Record, body);
        }
        return result.get();
    }

    std::wstring Folder() const { return folder_.path().wstring(); }
};

TEST_F(RecordAndProbe, ProbeIsAnsweredInTimeOrNotAtAll)
{
    auto answered = OnHostThread([&] { return quillon().JudgeIsAvailable(); });
    ExpectCommand(0, 0, 0);
    device().SendAck();
    EXPECT_TRUE(answered.get());

    auto late = OnHostThread([&] { return quillon().JudgeIsAvailable(); });
    ExpectCommand(0, 0, 0);
    // The device takes 600 ms to answer: past the probe's half second.
    EXPECT_TRUE(device().Quiet(milliseconds(600)));
    device().SendAck();
    EXPECT_FALSE(late.get());
    ASSERT_TRUE(WaitFor([] { return Registry().DeviceReplied.load(); })) << "the late answer still counts";

    auto cleared = OnHostThread([&] { return quillon().JudgeIsAvailable(); });
    ExpectCommand(0, 0, 0);
    EXPECT_FALSE(cleared.get()) << "each probe starts from no answer";
}

// The record's name field runs on past twelve characters, and a second record follows: the
// directory takes the first record's first twelve. A missing parent folder is not created.
TEST_F(RecordAndProbe, DirectoryIsCreatedThenFound)
{
    EXPECT_EQ(CheckDirectoryAnswering(Folder() + L"/missing", {"AB12XY345678"}), -1);
    EXPECT_FALSE(fs::exists(folder_.path() / "missing"));

    const auto start = steady_clock::now();
    EXPECT_EQ(CheckDirectoryAnswering(Folder(), {"AB12XY345678", "MNOPQRSTUVWX"}), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(1505));
    EXPECT_TRUE(fs::is_directory(folder_.path() / "AB12XY345678"));
    EXPECT_EQ(Registry().DeviceDirName.load(), "AB12XY345678");

    EXPECT_EQ(CheckDirectoryAnswering(Folder(), {"AB12XY345678"}), 1);
}

// The name ends at its first zero byte, as the widening ends it, and must widen whole into one
// plain folder name: the folder appears directly inside, or nothing appears anywhere. Which names
// are plain is the path rule's, tested with it; here, that the rule is applied.
TEST_F(RecordAndProbe, NameMakesOneFolderDirectlyInsideOrNothing)
{
    using namespace std::string_literals;
    struct Case {
        std::string name;
        const char* made;  // null: refused
    };
    std::vector<Case> cases = {
        {"DEV001\0\0\0\0\0\0"s, "DEV001"},
        {"name\0zero!!!"s, "name"},
        {"..\x81 AAAAAAAA", nullptr},  // widening stops short at ".." ...
        {"\xff"
         "AAAAAAAAAAA",
         nullptr},                     // ... or at nothing: the folder itself
        {"ABCDEFGHIJK\xD6", nullptr},  // ... or before a cut double-byte character
        {std::string(12, '\0'), nullptr},
        {"../../../etc", nullptr},
    };
#ifdef _WIN32
    for (const char* name : {"NUL", "com1.txt", "DEV001.", "DEV001 "})
        cases.push_back({name + std::string(12 - std::strlen(name), '\0'), nullptr});
#endif
    const fs::path base = folder_.path() / "base";
    fs::create_directory(base);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.name));
        const auto before = SnapshotTree(folder_.path());
        EXPECT_EQ(CheckDirectoryAnswering(base.wstring(), {c.name}), c.made ? 0 : -1);
        EXPECT_EQ(TreeChanges(before, SnapshotTree(folder_.path())),
                  c.made ? "new: base/" + std::string(c.made) + "\n" : "");
        EXPECT_EQ(Registry().DeviceDirName.load(), c.name) << "the registry keeps what the device sent";
    }
}

TEST_F(RecordAndProbe, SilentDeviceIsAskedElevenTimesThenGivenUp)
{
    const auto start = steady_clock::now();
    auto result = OnHostThread([&] { return quillon().CheckDeviceSETDir(Folder()); });
    int requests = 0;
    while (auto frame = device().ReadFrame(seconds(2))) {
        EXPECT_EQ(frame->type(), TypeByte(FrameType::RecordRequest));
        ++requests;
    }
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(requests, 11);
    EXPECT_GE(steady_clock::now() - start, seconds(7));
    EXPECT_TRUE(fs::is_empty(folder_.path()));
}

}  // namespace
}  // namespace quillon::testing
