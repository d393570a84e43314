// The operations over the serial link, with a device on a pseudo-terminal that pads its short
// frames to 72 bytes as a serial device must. Finding the device takes a port trial of about four
// seconds, so one test carries an upload, a download and a version write.
#include <gtest/gtest.h>

#include "common/PseudoTerminal.h"
#include "common/RawZip.h"
#include "support/serial/SerialPortList.h"
#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

TEST(SerialTransfer, UploadDownloadAndVersionOverAPaddedSerialLine)
{
    if (!PseudoTerminal::Supported())
        GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    serial::pin_ports({pty.slavePath()});
    TempFolder folder;

    CQuillon quillon(LoopbackLink());
    DevicePeer device(PtyDeviceChannel(pty), true);
    device.SendRaw(GreetingFrame());
    ASSERT_TRUE(device.ReadKeyFrame(std::chrono::seconds(15))) << "the device was never found";
    ASSERT_TRUE(device.ReadWireFrame());  // the key frame's repeat
    ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == kSerialLink; }));

    // Upload: every acknowledgement is a padded short frame.
    const std::string archive = NoiseBytes(10000, 42);
    WriteBytes(folder.path() / "up.zip", archive);
    auto upload =
        std::async(std::launch::async, [&] { return quillon.WriteSettoHard(folder.str("up.zip"), 1); });
    std::string received;
    for (int frame = 0; frame < 2 + 3; ++frame) {
        const auto f = device.ReadFrame();
        ASSERT_TRUE(f && f->checked()) << "frame " << frame;
        if (f->type() == TypeByte(FrameType::Block))
            received.append(f->clear.begin() + 4, f->clear.begin() + 4100);
        device.SendAck();
    }
    EXPECT_EQ(upload.get(), 0);
    EXPECT_EQ(received.substr(0, archive.size()), archive);
    EXPECT_EQ(Registry().GetWriteRate(), 100);

    // Download of an archive of two blocks.
    const std::string content = NoiseBytes(4097 - 108, 7);
    const std::string zip = MakeRawZip({RawEntry("a.txt", content)});
    ASSERT_EQ(zip.size(), 4097u);
    fs::create_directory(folder.path() / "out");
    quillon.SetUnzipfloderpath(folder.str("out"));
    quillon.ReadSetFromHard(folder.str("down.zip"), 1);
    const auto request = device.ReadFrame();
    ASSERT_TRUE(request && request->checked());
    EXPECT_EQ(request->at(2), 2);
    device.SendValue(1, 1, static_cast<std::uint32_t>(zip.size()));
    for (int block = 0; block < 2; ++block) {
        const auto ack = device.ReadFrame();
        ASSERT_TRUE(ack && ack->type() == TypeByte(FrameType::Ack)) << "before block " << block;
        const std::size_t start = static_cast<std::size_t>(block) * kBlockDataSize;
        device.SendBlock(static_cast<std::uint16_t>(block),
                         reinterpret_cast<const std::uint8_t*>(zip.data()) + start,
                         std::min<std::size_t>(kBlockDataSize, zip.size() - start));
    }
    ASSERT_TRUE(device.ReadFrame());  // the last block's acknowledgement
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
    EXPECT_EQ(Registry().GetReadRate(), 100);
    EXPECT_EQ(ReadBytes(folder.path() / "out" / "a.txt"), content);

    auto version = std::async(std::launch::async, [&] { return quillon.WriteFileVersion(2, 300); });
    for (int step = 0; step < 2; ++step) {
        ASSERT_TRUE(device.ReadFrame());
        device.SendAck();
    }
    EXPECT_EQ(version.get(), 0);
}

}  // namespace
}  // namespace quillon::testing
