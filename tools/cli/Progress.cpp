#include "Progress.h"

#include <algorithm>
#include <cmath>

namespace quillon::cli {

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string FormatDuration(double seconds)
{
    const auto total = static_cast<long long>(std::llround(std::max(0.0, seconds)));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes)
{
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatProgress(const std::string& label, int percent, std::uint64_t bytes,
                           std::uint64_t totalBytes, double elapsedSeconds)
{
    const int shown = std::clamp(percent, 0, 100);
    const int filled = shown * kBarWidth / 100;
    char head[64];
    std::snprintf(head, sizeof head, "%3d%% [", shown);
    std::string line = label + " " + head + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                       FormatBytes(bytes);
    if (totalBytes > 0)
        line += " of " + FormatBytes(totalBytes);

    if (elapsedSeconds > 0 && bytes > 0) {
        const double rate = static_cast<double>(bytes) / elapsedSeconds;
        line += "  " + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s";
        double left = -1;
        if (totalBytes > 0)
            left = static_cast<double>(totalBytes > bytes ? totalBytes - bytes : 0) / rate;
        else if (shown > 0)
            left = elapsedSeconds * (100 - shown) / shown;
        if (left >= 0)
            line += "  " + FormatDuration(left) + " left";
    }
    return line;
}

ProgressBar::ProgressBar(std::FILE* stream, std::string label, bool enabled)
    : stream_(stream), label_(std::move(label)), enabled_(enabled && stream)
{}

void ProgressBar::Show(int percent, std::uint64_t bytes, std::uint64_t totalBytes)
{
    if (!enabled_)
        return;
    const auto now = Clock::now();
    if (drawn_ && now - lastDraw_ < kRedrawEvery && percent < 100)
        return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::string line = FormatProgress(label_, percent, bytes, totalBytes, elapsed);
    // Blanks over whatever a longer line before left behind.
    const std::size_t width = line.size();
    if (width < lastWidth_)
        line.append(lastWidth_ - width, ' ');
    lastWidth_ = width;
    std::fprintf(stream_, "\r%s", line.c_str());
    std::fflush(stream_);
    drawn_ = true;
}

void ProgressBar::Close()
{
    if (!enabled_ || !drawn_)
        return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    drawn_ = false;
    enabled_ = false;
}

}  // namespace quillon::cli
