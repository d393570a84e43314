// What the end-to-end tests of the quillon tool share: the programs' paths, running the tool,
// reading its JSON, settings packages on disk, and the device simulator in the background.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "tools/ToolProcess.h"

namespace quillon::testing {

namespace fs = std::filesystem;

inline const std::string kQuillon = QUILLON_CLI_PATH;
inline const std::string kReadme = QUILLON_README_PATH;
#if defined(QUILLON_DEVICE_PATH)
inline const std::string kDevice = QUILLON_DEVICE_PATH;
#else
inline const std::string kDevice;
#endif

// For a program's output on a terminal (a pseudo-terminal that the child gets as its console).
#define QUILLON_REQUIRE_PSEUDO_TERMINALS()                                                                   \
    do {                                                                                                     \
        if (!TerminalsSupported())                                                                           \
            GTEST_SKIP() << "needs a terminal for a program's output, which this platform cannot give it";   \
    } while (0)

// Names a parameterised case after its name field.
inline constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

// The words of a command line, split at spaces; "@" at a word's start stands for folder, and
// what follows it is a path below the folder written with "/", given to the tool with the
// platform's own separator (as a user would type it, and as the tool reports it back). The folder
// is put in after the split, so a temporary folder with a space in its path stays one word.
inline std::vector<std::string> Words(const std::string& line, const fs::path& folder = {})
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        if (word[0] != '@') {
            words.push_back(word);
            continue;
        }
        const std::string below = word.substr(word.size() > 1 && word[1] == '/' ? 2 : 1);
        words.push_back(below.empty() ? folder.string()
                                      : (folder / fs::path(below).make_preferred()).string());
    }
    return words;
}

// Runs the tool with the words of the line as its arguments.
inline ProcessResult Quillon(const std::string& line, const fs::path& folder = {},
                             const RunOptions& options = {})
{
    std::vector<std::string> argv = Words(line, folder);
    argv.insert(argv.begin(), kQuillon);
    return RunProcess(argv, options);
}

// How a run went, for failure messages.
inline std::string Describe(const ProcessResult& run)
{
    return "exit " + std::to_string(run.exitCode) + (run.timedOut ? " (timed out)" : "") + " after " +
           std::to_string(run.seconds) + " s\n--- stdout ---\n" + run.out + "--- stderr ---\n" + run.err;
}

// The tool's JSON output: one object whose values are strings, numbers, booleans, null or arrays
// of strings. Anything else, or anything but white space after the object, fails the parse, so a
// test also proves the output is one well-formed object. The \u escapes the tool gives control
// characters stay as written.
class Json {
public:
    struct Value {
        bool null = false;
        std::string text;                // a string, or a number's or boolean's literal
        std::vector<std::string> items;  // an array's strings
    };

    static std::optional<Json> Parse(std::string_view text)
    {
        Json json;
        Reader in{text};
        bool ok = in.Take('{');
        if (ok && !in.Take('}')) {
            do {
                std::string key;
                ok = in.String(key) && !json.values_.count(key) && in.Take(':') && in.Read(json.values_[key]);
            } while (ok && in.Take(','));
            ok = ok && in.Take('}');
        }
        in.Skip();
        return ok && in.rest.empty() ? std::optional(json) : std::nullopt;
    }

    std::string operator[](const std::string& key) const { return Find(key).text; }
    std::vector<std::string> items(const std::string& key) const { return Find(key).items; }
    bool isNull(const std::string& key) const { return Find(key).null; }
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    // Whether any value is the text.
    bool holds(const std::string& text) const
    {
        return std::ranges::any_of(values_, [&](const auto& entry) { return entry.second.text == text; });
    }

private:
    // Takes the JSON off the front of rest.
    struct Reader {
        std::string_view rest;

        void Skip() { rest.remove_prefix(std::min(rest.find_first_not_of(" \t\r\n"), rest.size())); }
        // Takes word after any white space.
        bool Take(std::string_view word)
        {
            Skip();
            const bool found = rest.starts_with(word);
            rest.remove_prefix(found ? word.size() : 0);
            return found;
        }
        bool Take(char c) { return Take(std::string_view(&c, 1)); }
        bool String(std::string& out)
        {
            if (!Take('"'))
                return false;
            while (!rest.empty() && rest[0] != '"') {
                char c = rest[0];
                if (c == '\\') {
                    const auto escape =
                        rest.size() > 1 ? std::string_view("nrt\"\\u").find(rest[1]) : std::string_view::npos;
                    if (escape == std::string_view::npos)
                        return false;
                    c = "\n\r\t\"\\\\"[escape];
                    rest.remove_prefix(escape < 5 ? 1 : 0);  // a \u escape stays as written
                } else if (static_cast<unsigned char>(c) < 0x20) {
                    return false;
                }
                out += c;
                rest.remove_prefix(1);
            }
            return Take('"');
        }
        bool Read(Value& value)
        {
            Skip();
            if (rest.starts_with('"'))
                return String(value.text);
            if (Take('[')) {
                if (Take(']'))
                    return true;
                do {
                    if (!String(value.items.emplace_back()))
                        return false;
                } while (Take(','));
                return Take(']');
            }
            for (const std::string_view word : {"true", "false", "null"}) {
                if (Take(word)) {
                    value.null = word == "null";
                    value.text = value.null ? "" : word;
                    return true;
                }
            }
            const auto end = std::min(rest.find_first_not_of("0123456789+-.eE"), rest.size());
            value.text = rest.substr(0, end);
            rest.remove_prefix(end);
            return !value.text.empty();
        }
    };

    Value Find(const std::string& key) const
    {
        const auto found = values_.find(key);
        return found != values_.end() ? found->second : Value{false, "<missing " + key + ">", {"<missing>"}};
    }

    std::map<std::string, Value> values_;
};

// The run's JSON object; an empty one (and a test failure) when standard output is not one.
inline Json JsonOf(const ProcessResult& run)
{
    auto json = Json::Parse(run.out);
    if (!json)
        ADD_FAILURE() << "standard output is not one JSON object\n" << Describe(run);
    return json.value_or(Json{});
}

// A settings package: DeviceSet.DST naming the serials, and the files it names. extraBytes of
// noise go into the .ORI file, so a package can be made big enough to take many blocks.
struct PackageLayout {
    std::string serial = "AB12XY345678";
    std::size_t extraBytes = 0;
};

inline void MakePackage(const fs::path& folder, const PackageLayout& layout = {})
{
    fs::create_directories(folder);
    WriteBytes(folder / "DeviceSet.DST", "Use Orbisto above v6.3.4\r\n" + layout.serial + "\r\nBDB0001\r\n");
    WriteBytes(folder / (layout.serial + ".ORI"),
               "ORI of " + layout.serial + "\n" + NoiseBytes(layout.extraBytes, 1));
    WriteBytes(folder / (layout.serial + ".RGF"), "RGF of " + layout.serial + "\n");
    WriteBytes(folder / "BDB0001.bdb", "bdb BDB0001\n" + NoiseBytes(300, 2));
    const std::string kind = layout.serial.size() >= 6 ? layout.serial.substr(4, 2) : "";
    if (kind == "UX" || kind == "UK" || kind == "BP")
        WriteBytes(folder / (layout.serial + "_B.ORI"), "second ORI\n");
}

// The port the tool names on standard error when the system picked it (--port 0); 0 before it has.
inline int ListeningPort(const std::string& errors)
{
    const auto at = errors.find("port ", errors.find("listening for the device on TCP "));
    return at == std::string::npos || errors.find('\n', at) == std::string::npos ? 0
                                                                                 : std::atoi(&errors[at + 5]);
}

// The simulator, for the tool's runs through Run; its state lives in folder, and the log of its
// latest run. On a pseudo-terminal ("--pty" in its options) it runs for as long as the object
// lives. Over TCP each run of the tool takes a free loopback port of its own and names it, and the
// simulator is started against that port for that run alone, so that tests run side by side.
class SimulatedDevice {
public:
    // "@" in options stands for folder, as for Words.
    SimulatedDevice(const fs::path& folder, const std::string& options = "",
                    const std::string& name = "QUILLONTEST1")
        : state_(folder / "device-state"), log_(folder / "device.log")
    {
        argv_ = Words(options, folder);
        pty_ = std::find(argv_.begin(), argv_.end(), "--pty") != argv_.end();
        argv_.insert(argv_.begin(), {kDevice, "--state", state_.string(), "--name", name});
        if (pty_) {
            process_ = std::make_unique<BackgroundProcess>(argv_, log_);
            ptyPath_ = process_->ReadLine(std::chrono::seconds(10));
        }
    }

    bool ok() const { return !pty_ || (process_->started() && !ptyPath_.empty()); }
    const std::string& ptyPath() const { return ptyPath_; }
    const fs::path& state() const { return state_; }
    // What it stored for an upload of the kind.
    fs::path stored(int kind) const { return state_ / ("kind-" + std::to_string(kind) + ".zip"); }
    std::string log() const { return ReadBytes(log_); }

    // Runs the tool as Quillon does, with the device on its pseudo-terminal and TCP off, or over TCP.
    ProcessResult Run(const std::string& line, const fs::path& folder = {}, RunOptions options = {}) const
    {
        if (pty_)
            return Quillon(line + " --no-tcp --serial-port " + ptyPath_, folder, options);
        std::unique_ptr<BackgroundProcess> device;
        // The device goes to the port the tool names; then the caller's watch, if any, goes on.
        options.whileRunning = [&, then = options.whileRunning](const std::string& errors) {
            if (!device) {
                const int port = ListeningPort(errors);
                if (port == 0)
                    return false;
                std::vector<std::string> argv = argv_;
                argv.insert(argv.end(), {"--tcp", "127.0.0.1:" + std::to_string(port)});
                device = std::make_unique<BackgroundProcess>(argv, log_);
            }
            return !then || then(errors);
        };
        const ProcessResult run = Quillon(line + " --listen 127.0.0.1 --port 0", folder, options);
        // The device has handled what the tool sent last (it stores an upload after the last
        // block) once it has seen every connection it made end.
        if (device)
            WaitFor([&] { return Count("connected") == Count("disconnected"); });
        return run;
    }

private:
    // How many lines of the log are the text.
    int Count(const std::string& text) const
    {
        std::istringstream lines(log());
        int count = 0;
        for (std::string line; std::getline(lines, line);)
            count += line == text || line == text + '\r';
        return count;
    }

    fs::path state_;
    fs::path log_;
    std::vector<std::string> argv_;
    std::unique_ptr<BackgroundProcess> process_;
    bool pty_ = false;
    std::string ptyPath_;
};

#define ASSERT_DEVICE_STARTED(device)                                                                        \
    ASSERT_TRUE((device).ok()) << "the simulator did not start\n" << (device).log()

// Runs the tool with --json, against the device when one is given; the run must succeed. Its JSON
// object.
inline Json Succeeds(const std::string& line, const fs::path& folder = {},
                     const SimulatedDevice* device = nullptr)
{
    const ProcessResult run =
        device ? device->Run(line + " --json", folder) : Quillon(line + " --json", folder);
    EXPECT_EQ(run.exitCode, 0) << line << "\n" << Describe(run) << (device ? device->log() : "");
    return JsonOf(run);
}

}  // namespace quillon::testing
