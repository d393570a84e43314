// What the end-to-end tests of the quillon tool share: the programs' paths, running the tool,
// reading its JSON, settings packages on disk, and the device simulator in the background.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/TempFolder.h"
#include "tools/FlatJson.h"
#include "tools/ToolProcess.h"

namespace quillon::testing {

namespace fs = std::filesystem;

// Paths from the build.
inline const std::string kQuillon = QUILLON_CLI_PATH;
inline const std::string kReadme = QUILLON_README_PATH;
#if defined(QUILLON_DEVICE_PATH)
inline const std::string kDevice = QUILLON_DEVICE_PATH;
#else
inline const std::string kDevice;
#endif

#define QUILLON_REQUIRE_DEVICE()                                                                             \
    do {                                                                                                     \
        if (kDevice.empty())                                                                                 \
            GTEST_SKIP() << "the quillon-device simulator is not part of this build";                        \
    } while (0)

// For the serial link (the simulator on its own pseudo-terminal) and for output on a terminal.
#define QUILLON_REQUIRE_PSEUDO_TERMINALS()                                                                   \
    do {                                                                                                     \
        if (!TerminalsSupported())                                                                           \
            GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";                     \
    } while (0)

// Runs the tool with the arguments.
inline ProcessResult Quillon(const std::vector<std::string>& arguments, const RunOptions& options = {})
{
    std::vector<std::string> argv{kQuillon};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv, options);
}

// How a run went, for failure messages.
inline std::string Describe(const ProcessResult& run)
{
    return "exit " + std::to_string(run.exitCode) + (run.timedOut ? " (timed out)" : "") + " after " +
           std::to_string(run.seconds) + " s\n--- stdout ---\n" + run.out + "--- stderr ---\n" + run.err;
}

// The run's JSON object; an empty object (and a test failure) when stdout is not one.
inline JsonObject JsonOf(const ProcessResult& run)
{
    const auto object = ParseFlatJson(run.out);
    if (!object) {
        ADD_FAILURE() << "standard output is not one JSON object\n" << Describe(run);
        return {};
    }
    return *object;
}

inline std::string Text(const JsonObject& object, const std::string& key)
{
    const auto found = object.find(key);
    return found == object.end() ? "<missing " + key + ">" : found->second.text;
}

inline std::vector<std::string> Items(const JsonObject& object, const std::string& key)
{
    const auto found = object.find(key);
    return found == object.end() ? std::vector<std::string>{"<missing " + key + ">"} : found->second.items;
}

inline bool IsNull(const JsonObject& object, const std::string& key)
{
    const auto found = object.find(key);
    return found != object.end() && found->second.type == JsonValue::Type::Null;
}

// A settings package: DeviceSet.DST naming the serials, and the files it names. extraBytes of
// noise go into the .ORI file, so a package can be made big enough to take many blocks.
struct PackageLayout {
    std::string serial = "AB12XY345678";
    std::string bdb = "BDB0001";
    std::size_t extraBytes = 0;
    bool markedLayout = true;
};

inline void MakePackage(const fs::path& folder, const PackageLayout& layout = {})
{
    fs::create_directories(folder);
    WriteBytes(folder / "DeviceSet.DST", (layout.markedLayout ? "Use Orbisto above v6.3.4\r\n" : "") +
                                             layout.serial + "\r\n" + layout.bdb + "\r\n");
    WriteBytes(folder / (layout.serial + ".ORI"),
               "ORI of " + layout.serial + "\n" + NoiseBytes(layout.extraBytes, 1));
    WriteBytes(folder / (layout.serial + ".RGF"), "RGF of " + layout.serial + "\n");
    WriteBytes(folder / (layout.bdb + ".bdb"), "bdb " + layout.bdb + "\n" + NoiseBytes(300, 2));
    const std::string kind = layout.serial.size() >= 6 ? layout.serial.substr(4, 2) : "";
    if (kind == "UX" || kind == "UK" || kind == "BP")
        WriteBytes(folder / (layout.serial + "_B.ORI"), "second ORI\n");
}

// Every file below a folder by relative path, with its bytes.
inline Tree FilesOf(const fs::path& folder)
{
    return SnapshotTree(folder);
}

// The simulator, running for as long as the object lives.
class SimulatedDevice {
public:
    // Over TCP to this machine's port 8234 unless the options say otherwise; its state and log
    // live in folder.
    SimulatedDevice(const fs::path& folder, std::vector<std::string> options,
                    const std::string& name = "QUILLONTEST1")
        : state_(folder / "device-state"), log_(folder / "device.log")
    {
        std::vector<std::string> argv{kDevice, "--state", state_.string(), "--name", name};
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = std::make_unique<BackgroundProcess>(argv, log_);
        for (const auto& option : options)
            pty_ = pty_ || option == "--pty";
        if (pty_)
            ptyPath_ = process_->ReadLine(std::chrono::seconds(10));
    }

    bool ok() const { return process_->started() && (!pty_ || !ptyPath_.empty()); }
    const std::string& ptyPath() const { return ptyPath_; }
    const fs::path& state() const { return state_; }
    std::string log() const { return ReadBytes(log_); }
    int Stop() { return process_->Stop(); }

private:
    fs::path state_;
    fs::path log_;
    std::unique_ptr<BackgroundProcess> process_;
    bool pty_ = false;
    std::string ptyPath_;
};

} // namespace quillon::testing
