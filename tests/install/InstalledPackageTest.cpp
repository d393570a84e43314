// The library as a host application gets it: installed with `cmake --install`, found with
// find_package(Quillon) or pkg-config, and driven by a separate host program against the simulated
// device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

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

    const fs::path cHost = fs::path(QUILLON_SOURCE_DIR) / "examples" / "c-host";
    EXPECT_EQ(Shell("cc -std=c99 -Wall -Wextra -Werror -pedantic " + Quote(cHost / "host.c") + " $(" +
                    pkgConfig + " --cflags --libs quillon) -o " + Quote(work.path() / "pc-c-host")),
              0);
    for (const auto& [example, build] :
         std::vector<std::pair<fs::path, fs::path>>{{"host", hostBuild}, {"c-host", work.path() / "c-build"}})
        ASSERT_EQ(Shell(std::string(QUILLON_CMAKE) + " -S " +
                        Quote(fs::path(QUILLON_SOURCE_DIR) / "examples" / example) + " -B " + Quote(build) +
                        " -DCMAKE_PREFIX_PATH=" + Quote(prefix) + " > /dev/null && " + QUILLON_CMAKE +
                        " --build " + Quote(build) + " > /dev/null"),
                  0);
    // The C interface's page shows the example whole, as it is.
    const std::string page = ReadBytes(fs::path(QUILLON_SOURCE_DIR) / "docs" / "c-api.md");
    const auto code = page.find("```c\n") + 5;
    EXPECT_EQ(page.substr(code, page.find("```\n", code) - code), ReadBytes(cHost / "host.c"));

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

    // The C example, on the same port once the C++ one has closed it.
    const fs::path cWork = work.path() / "c-work";
    fs::create_directory(cWork);
    EXPECT_EQ(Shell(Quote(work.path() / "c-build" / "quillon-c-host-example") + " " + Quote(package) + " " +
                    Quote(cWork) + " > " + Quote(work.path() / "c-host.log") + " 2>&1"),
              0)
        << ReadBytes(work.path() / "c-host.log");
    fs::remove(cWork / "settings.zip");
    EXPECT_EQ(TreeChanges(sent, SnapshotTree(cWork)), "");
}

}  // namespace
}  // namespace quillon::testing
