// The progress bar that uploads and downloads draw on standard error while they run: percentage,
// bytes, rate and the time left, redrawn in place on one line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quillon::cli {

// One line of the bar, without a line end, at most columns wide (0: no limit): the rate and the
// time left go first, then the bar narrows. totalBytes is 0 while the size is not known; the time
// left then follows from the percentage alone.
std::string FormatProgress(const std::string& label, int percent, std::uint64_t bytes,
                           std::uint64_t totalBytes, double elapsedSeconds, std::size_t columns = 0);

// "1.5 MiB", "900 B".
std::string FormatBytes(std::uint64_t bytes);

// A line of status on a terminal, redrawn in place and kept within the terminal's width.
class StatusLine {
public:
    // Draws only when enabled: on a terminal, where a line redrawn in place makes sense.
    StatusLine(std::FILE* stream, bool enabled);
    ~StatusLine() { End(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool enabled() const { return enabled_; }
    // What a line may hold: one column less than the terminal has (writing the last column makes
    // some terminals wrap), 0 when the width is unknown.
    std::size_t Columns() const;
    // Replaces the line's text; text longer than Columns() is cut.
    void Show(std::string text);
    // Blanks the line, so that what comes next takes its place.
    void Clear();
    // Ends the line, so that what is written next starts on a line of its own.
    void End();

private:
    std::FILE* stream_;
    bool enabled_;
    std::size_t shownWidth_ = 0;
};

class ProgressBar {
public:
    // Draws only when enabled: on a terminal, where a line redrawn in place makes sense.
    ProgressBar(std::FILE* stream, std::string label, bool enabled);
    ~ProgressBar() { Close(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws the line, at most ten times a second.
    void Show(int percent, std::uint64_t bytes, std::uint64_t totalBytes);
    // Ends the line, so that what is written next starts on a line of its own.
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    StatusLine line_;
    std::string label_;
    bool drawn_ = false;
    bool closed_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace quillon::cli
