#include "Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "support/tooling/StdoutDiversion.h"

namespace quillon::cli {

namespace {

constexpr std::size_t kBarWidth = 24;
constexpr std::size_t kMinBarWidth = 10;
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
                           std::uint64_t totalBytes, double elapsedSeconds, std::size_t columns)
{
    const int shown = std::clamp(percent, 0, 100);
    char head[16];
    std::snprintf(head, sizeof head, "%3d%%", shown);
    std::string amount = FormatBytes(bytes);
    if (totalBytes > 0)
        amount += " of " + FormatBytes(totalBytes);

    std::string rate;
    std::string left;
    if (elapsedSeconds > 0 && bytes > 0) {
        const double perSecond = static_cast<double>(bytes) / elapsedSeconds;
        rate = "  " + FormatBytes(static_cast<std::uint64_t>(perSecond)) + "/s";
        double seconds = -1;
        if (totalBytes > 0)
            seconds = static_cast<double>(totalBytes > bytes ? totalBytes - bytes : 0) / perSecond;
        else if (shown > 0)
            seconds = elapsedSeconds * (100 - shown) / shown;
        if (seconds >= 0)
            left = "  " + FormatDuration(seconds) + " left";
    }

    // label, percentage and amount always; then, as the width allows, the time left, the rate and
    // a bar of up to kBarWidth.
    const std::size_t fixed = label.size() + 1 + std::string(head).size() + 1 + amount.size();
    const std::size_t limit = columns == 0 ? SIZE_MAX : columns;
    const auto fits = [&](std::size_t extra) { return fixed + extra <= limit; };
    if (!fits(kMinBarWidth + 3 + rate.size() + left.size()))
        left.clear();
    if (!fits(kMinBarWidth + 3 + rate.size()))
        rate.clear();
    std::size_t barWidth = kBarWidth;
    if (!fits(barWidth + 3 + rate.size() + left.size()))
        barWidth =
            limit > fixed + 3 + rate.size() + left.size() ? limit - fixed - 3 - rate.size() - left.size() : 0;
    std::string bar;
    if (barWidth >= kMinBarWidth) {
        const std::size_t filled = static_cast<std::size_t>(shown) * barWidth / 100;
        bar = " [" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
    }
    std::string line = label + " " + head + bar + " " + amount + rate + left;
    if (line.size() > limit)
        line.resize(limit);
    return line;
}

StatusLine::StatusLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled && stream) {}

std::size_t StatusLine::Columns() const
{
    const int columns = TerminalColumns(stream_);
    return columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
}

void StatusLine::Show(std::string text)
{
    if (!enabled_)
        return;
    const std::size_t columns = Columns();
    if (columns > 0 && text.size() > columns)
        text.resize(columns);
    // Blanks over whatever a longer line before left behind.
    const std::size_t width = text.size();
    if (width < shownWidth_)
        text.append(shownWidth_ - width, ' ');
    shownWidth_ = width;
    std::fprintf(stream_, "\r%s", text.c_str());
    std::fflush(stream_);
}

void StatusLine::Clear()
{
    if (!enabled_ || shownWidth_ == 0)
        return;
    std::fprintf(stream_, "\r%s\r", std::string(shownWidth_, ' ').c_str());
    std::fflush(stream_);
    shownWidth_ = 0;
}

void StatusLine::End()
{
    if (!enabled_ || shownWidth_ == 0)
        return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    shownWidth_ = 0;
}

ProgressBar::ProgressBar(std::FILE* stream, std::string label, bool enabled)
    : line_(stream, enabled), label_(std::move(label))
{}

void ProgressBar::Show(int percent, std::uint64_t bytes, std::uint64_t totalBytes)
{
    if (!line_.enabled() || closed_)
        return;
    const auto now = Clock::now();
    if (drawn_ && now - lastDraw_ < kRedrawEvery && percent < 100)
        return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    line_.Show(FormatProgress(label_, percent, bytes, totalBytes, elapsed, line_.Columns()));
    drawn_ = true;
}

void ProgressBar::Close()
{
    line_.End();
    closed_ = true;
}

}  // namespace quillon::cli
