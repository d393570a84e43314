// What a command tells its caller: lines of text for a person, or one JSON object for a script,
// and on failure an explanation with a hint of what to do.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ExitCode.h"

namespace quillon::cli {

// A string as a JSON string literal, quotes included. Control characters, C1 controls (U+0080 to
// U+009F) included, are escaped; bytes that are not UTF-8 become U+FFFD, so that a path in another
// encoding still gives a document every parser reads.
std::string JsonString(std::string_view text);

// Text for a terminal. A name from the device, a package or an archive may hold anything, and a
// terminal acts on control characters (ESC starts a sequence that can move the cursor, rewrite the
// screen or set the window title), so every control character (bytes 0x00 to 0x1F and 0x7F, and
// the C1 controls U+0080 to U+009F in UTF-8, bytes C2 80 to C2 9F) is written as \xHH, one escape
// for each of its bytes, in upper-case hexadecimal. So that the result reads one way only, a
// backslash that an "x" follows is written \x5C; any other backslash, as in a Windows path, stays.
// Everything else is left as it is, bytes that are not UTF-8 included (they are text in the
// Windows code page).
std::string Printable(std::string_view text);

class Report {
public:
    Report(std::string command, bool json) : command_(std::move(command)), json_(json) {}

    bool json() const { return json_; }

    // Names a command's result fields up front, each null until set, so that a script finds the
    // same keys in the same order whether the command succeeded or failed, and wherever it failed.
    void Declare(std::initializer_list<const char*> keys);

    // Result fields, in the order they were first set; setting a field again replaces its value.
    void Set(const std::string& key, std::string_view text);
    void Set(const std::string& key, const char* text) { Set(key, std::string_view(text)); }
    void Set(const std::string& key, std::int64_t number);
    void Set(const std::string& key, int number) { Set(key, static_cast<std::int64_t>(number)); }
    void Set(const std::string& key, bool flag);
    void Set(const std::string& key, const std::vector<std::string>& texts);
    // A list of objects, each a list of (key, value as JSON text) in order; JsonString makes a text.
    using Object = std::vector<std::pair<std::string, std::string>>;
    void Set(const std::string& key, const std::vector<Object>& objects);
    void SetSeconds(const std::string& key, double seconds);
    void SetNull(const std::string& key);

    // A line of the text output.
    void Say(std::string line) { lines_.push_back(std::move(line)); }

    // Records the failure and returns its code. reason is a short fixed word for scripts
    // ("refused", "no_device", ...); message says what happened, hint what the user can do.
    ExitCode Fail(ExitCode code, std::string reason, std::string message, std::string hint = {});

    // Writes the result: the text lines or the JSON object to out, an error and its hint to err.
    // Returns the exit status.
    int Finish(ExitCode code, std::FILE* out, std::FILE* err) const;

private:
    void SetRaw(const std::string& key, std::string json);

    std::string command_;
    bool json_;
    std::vector<std::pair<std::string, std::string>> fields_;  // key, value as JSON text
    std::vector<std::string> lines_;
    std::string reason_;
    std::string message_;
    std::string hint_;
};

}  // namespace quillon::cli
