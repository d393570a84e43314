// The progress bar that uploads and downloads draw on standard error while they run: percentage,
// bytes, rate and the time left, redrawn in place on one line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quillon::cli {

// One line of the bar, without a line end. totalBytes is 0 while the size is not known; the time
// left then follows from the percentage alone.
std::string FormatProgress(const std::string& label, int percent, std::uint64_t bytes,
                           std::uint64_t totalBytes, double elapsedSeconds);

// "1.5 MiB", "900 B".
std::string FormatBytes(std::uint64_t bytes);

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

    std::FILE* stream_;
    std::string label_;
    bool enabled_;
    bool drawn_ = false;
    std::size_t lastWidth_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace quillon::cli
