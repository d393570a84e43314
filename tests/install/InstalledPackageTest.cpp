// The library as a host application gets it: installed with `cmake --install`, found with
// find_package(Quillon) or pkg-config, and driven by a separate host program against the simulated
// device.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/TempFolder.h"
#include "device/DeviceSimulator.h"

namespace quillon::testing {
namespace {

int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

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

    // The simulated device keeps what the host uploads and serves it back to the download.
    sim::SimulatorOptions options;
    options.stateFolder = work.path() / "device";
    sim::DeviceSimulator device(std::move(options));  // looks for the host on the default port
    ASSERT_EQ(device.Start(), "");
    EXPECT_EQ(Shell(Quote(hostBuild / "quillon-host-example") + " " + Quote(package) + " " + Quote(hostWork) +
                    " > " + Quote(work.path() / "host.log") + " 2>&1"),
              0)
        << ReadBytes(work.path() / "host.log");

    const Tree sent = SnapshotTree(package);
    EXPECT_EQ(TreeChanges(sent, SnapshotTree(hostWork / "unpacked")), "");
}

}  // namespace
}  // namespace quillon::testing
