// A real transfer object and a simulated device, in one process: what a host application sees of
// the device, faults included.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "device/DeviceSimulator.h"
#include "transfer/Quillon.h"

namespace quillon::testing {

inline CSysconfig_SET& Registry()
{
    return *CSysconfig_SET::get();
}

// A settings archive packed by the host's own packer from files of the given sizes (noise, so
// that the archive is about as big as the files); the files' names and contents.
inline std::map<std::string, std::string> PackArchive(CQuillon& quillon, const fs::path& folder,
                                                      const std::vector<std::size_t>& sizes,
                                                      const fs::path& zip)
{
    std::map<std::string, std::string> files;
    std::vector<std::string> names;
    fs::create_directories(folder);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = "file" + std::to_string(i) + ".ORI";
        files[name] = NoiseBytes(sizes[i], static_cast<std::uint32_t>(100 + i));
        WriteBytes(folder / name, files[name]);
        names.push_back(name);
    }
    EXPECT_EQ(quillon.ComPressSet(folder.string(), names, zip.string()), 0);
    return files;
}

// Whether folder holds exactly these files with these contents.
inline bool HoldsExactly(const fs::path& folder, const std::map<std::string, std::string>& files)
{
    std::map<std::string, std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        found[entry.path().filename().string()] = ReadBytes(entry.path());
    return !error && found == files;
}

inline int BlocksOf(const fs::path& zip)
{
    return static_cast<int>((fs::file_size(zip) + 4095) / 4096);
}

// The host's progress after done of total blocks, as it computes it.
inline int Percent(int done, int total)
{
    return static_cast<int>(static_cast<float>(done) / static_cast<float>(total) * 100.0f);
}

// Runs a host operation on a thread of its own, as a host does.
template <typename Op> auto OnHostThread(Op&& op)
{
    return std::async(std::launch::async, std::forward<Op>(op));
}

}  // namespace quillon::testing
