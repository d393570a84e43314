// The library as a host application gets it: installed with `cmake --install`, found with
// find_package(Quillon) or pkg-config, and driven by a separate host program against a device that
// this test plays.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "common/DevicePeer.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "protocol/DeviceLink.h"

namespace quillon::testing {
namespace {

int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Accepts an upload as a device does and returns the archive it received.
std::string AcceptUpload(DevicePeer& device)
{
    auto command = device.ReadFrame(std::chrono::seconds(20));
    EXPECT_TRUE(command && command->checked() && command->type() == TypeByte(FrameType::Command));
    device.SendAck();
    auto size = device.ReadFrame();
    EXPECT_TRUE(size && size->checked() && size->type() == TypeByte(FrameType::Value));
    if (!size || !size->checked())
        return {};
    const std::uint32_t bytes = size->le32(4);
    device.SendAck();
    std::string archive;
    while (archive.size() < bytes) {
        auto block = device.ReadFrame();
        EXPECT_TRUE(block && block->checked() && block->type() == TypeByte(FrameType::Block));
        if (!block)
            return {};
        archive.append(block->clear.begin() + 4, block->clear.begin() + 4100);
        device.SendAck();
    }
    archive.resize(bytes);
    return archive;
}

// Serves a download of archive as a device does.
void ServeDownload(DevicePeer& device, const std::string& archive)
{
    auto request = device.ReadFrame();
    ASSERT_TRUE(request && request->checked());
    ASSERT_EQ(request->at(2), 2);
    device.SendValue(request->at(3), 1, static_cast<std::uint32_t>(archive.size()));
    for (std::size_t start = 0; start < archive.size() || start == 0; start += kBlockDataSize) {
        auto ack = device.ReadFrame();
        ASSERT_TRUE(ack && ack->type() == TypeByte(FrameType::Ack));
        device.SendBlock(static_cast<std::uint16_t>(start / kBlockDataSize),
                         reinterpret_cast<const std::uint8_t*>(archive.data()) + start,
                         std::min<std::size_t>(kBlockDataSize, archive.size() - start));
        if (archive.empty())
            break;
    }
    ASSERT_TRUE(device.ReadFrame());  // the last block's acknowledgement
}

TEST(InstalledPackage, HostProgramBuiltAgainstItUploadsAndDownloads)
{
    TempFolder work;
    const fs::path prefix = work.path() / "prefix";
    const fs::path hostBuild = work.path() / "host-build";
    ASSERT_EQ(Shell(std::string(QUILLON_CMAKE) + " --install " + Quote(QUILLON_BINARY_DIR) + " --prefix " +
                    Quote(prefix) + " > /dev/null"),
              0);
    EXPECT_TRUE(fs::exists(prefix / "include" / "quillon" / "Quillon.h"));

    // pkg-config finds it too, and a plain compiler builds a host with what it says.
    const std::string pkgConfig = "PKG_CONFIG_PATH=" + Quote(prefix / "lib" / "pkgconfig") + ":" +
                                  Quote(prefix / "lib" / QUILLON_LIBRARY_ARCH / "pkgconfig") + " pkg-config";
    EXPECT_EQ(Shell(pkgConfig + " --exists quillon"), 0);
    EXPECT_EQ(Shell("c++ -std=c++20 " +
                    Quote(fs::path(QUILLON_SOURCE_DIR) / "examples" / "host" / "main.cpp") + " $(" +
                    pkgConfig + " --cflags --libs quillon) -o " + Quote(work.path() / "pc-host")),
              0);

    ASSERT_EQ(Shell(std::string(QUILLON_CMAKE) + " -S " +
                    Quote(fs::path(QUILLON_SOURCE_DIR) / "examples" / "host") + " -B " + Quote(hostBuild) +
                    " -DCMAKE_PREFIX_PATH=" + Quote(prefix) + " > /dev/null && " + QUILLON_CMAKE +
                    " --build " + Quote(hostBuild) + " > /dev/null"),
              0);

    const fs::path package = work.path() / "package";
    fs::create_directory(package);
    WriteBytes(package / "DeviceSet.DST", "AB12XY345678\r\nBDB0001\r\n");
    WriteBytes(package / "AB12XY345678.ORI", NoiseBytes(9000, 1));
    WriteBytes(package / "AB12XY345678.RGF", NoiseBytes(300, 2));
    WriteBytes(package / "BDB0001.bdb", "");
    const fs::path hostWork = work.path() / "host-work";
    fs::create_directory(hostWork);

    auto host = std::async(std::launch::async, [&] {
        return Shell(Quote(hostBuild / "quillon-host-example") + " " + Quote(package) + " " +
                     Quote(hostWork) + " > " + Quote(work.path() / "host.log") + " 2>&1");
    });
    std::unique_ptr<ByteChannel> channel;
    ASSERT_TRUE(
        WaitFor([&] { return (channel = ConnectTcp(kDevicePort)) != nullptr; }, std::chrono::seconds(20)));
    DevicePeer device(std::move(channel));
    ASSERT_TRUE(device.ReadKeyFrame());
    const std::string archive = AcceptUpload(device);
    ServeDownload(device, archive);
    EXPECT_EQ(host.get(), 0) << ReadBytes(work.path() / "host.log");

    const Tree sent = SnapshotTree(package);
    EXPECT_EQ(TreeChanges(sent, SnapshotTree(hostWork / "unpacked")), "");
}

}  // namespace
}  // namespace quillon::testing
