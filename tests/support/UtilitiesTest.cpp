#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/hostapi/Events.h"
#include "support/hostapi/Logger.h"
#include "support/hostapi/Math.h"
#include "support/hostapi/Timer.h"

namespace {

using libmarl::TMath;

TEST(Math, FloatToIntTruncatesAndFloatToIntRoundAddsAHalfFirstWithinTheRangeOfInt)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        int truncated, rounded;
    };
    const std::vector<Case> cases = {
        {1.7, 1, 2},
        {2.5, 2, 3},
        {-2.5, -2, -2},
        {-0.51, 0, 0},
        {2147483647.9, INT_MAX, INT_MAX},
        {-2147483648.9, INT_MIN, INT_MIN},
        {infinity, INT_MAX, INT_MAX},
        {-infinity, INT_MIN, INT_MIN},
        {nan, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(TMath::floatToInt(c.x), c.truncated);
        EXPECT_EQ(TMath::floatToIntRound(c.x), c.rounded);
    }
}

TEST(Math, HammingWindowsOfTheUsualLengths)
{
    constexpr float kTolerance = 1e-6f;
    const std::vector<std::vector<float>> cases = {
        {}, {0.0f}, {0.08f, 0.08f}, {0.08f, 0.54f, 1.0f, 0.54f, 0.08f}, {0.08f, 0.77f, 0.77f, 0.08f},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.size());
        const auto window = TMath::hamming(static_cast<unsigned>(expected.size()));
        ASSERT_EQ(window.size(), expected.size());
        for (std::size_t i = 0; i < window.size(); ++i)
            EXPECT_NEAR(window[i], expected[i], kTolerance) << "at " << i;
    }
}

TEST(Timer, TicksCountMillisecondsFromTheOriginThatCopiesShareAndResetMoves)
{
    libmarl::TTimer timer;
    const double start = timer.ticks();
    EXPECT_GE(start, 0.0);
    libmarl::TTimer::sleep(10);
    const double later = timer.ticks();
    EXPECT_GE(later - start, 10.0);
    const double lap = timer.restart();  // a reading; the origin stays
    EXPECT_GE(lap, later);
    EXPECT_GE(timer.ticks(), lap);

    libmarl::TTimer assigned;
    assigned = timer;
    const libmarl::TTimer copied(timer);
    EXPECT_GE(assigned.ticks(), 10.0);
    EXPECT_GE(copied.ticks(), 10.0);
    assigned.reset();
    const double sinceReset = assigned.ticks();
    EXPECT_GE(timer.ticks() - sinceReset, 10.0);  // read later, from an origin 10 ms earlier
}

// An event with a payload of its own, to see clone() keep the derived part.
class Reading : public libmarl::TEvent {
public:
    Reading() = default;
    Reading(int code, std::string text) : TEvent(code), text(std::move(text)) {}
    std::unique_ptr<TEvent> clone() const override { return std::make_unique<Reading>(*this); }
    std::string text;
};

class Collector : public libmarl::TEventsHandler {
public:
    explicit Collector(libmarl::TEventsHandler* passTo = nullptr) : next(passTo) {}
    void handleEvent(const libmarl::TEvent& event) override
    {
        kept.push_back(event.clone());
        if (next != nullptr)
            sendEvent(*next, event);  // passes it on, as a handler may
    }
    libmarl::TEventsHandler* next;
    std::vector<std::unique_ptr<libmarl::TEvent>> kept;
};

TEST(Events, HandlersReceiveWhatIsSentAndPassItOn)
{
    EXPECT_EQ(Reading().getCode(), 0);
    const Reading reading(42, "payload");
    Reading assigned;
    assigned = reading;
    EXPECT_EQ(Reading(reading).getCode(), 42);
    EXPECT_EQ(assigned.getCode(), 42);

    Collector last;
    Collector first(&last);
    first.handleEvent(reading);
    first.handleEvent(Reading(2, "two"));
    for (const Collector* collector : {&first, &last}) {
        ASSERT_EQ(collector->kept.size(), 2u);
        EXPECT_EQ(collector->kept[0]->getCode(), 42);
        EXPECT_EQ(dynamic_cast<const Reading&>(*collector->kept[0]).text, "payload");
        EXPECT_EQ(collector->kept[1]->getCode(), 2);
    }
}

TEST(Logger, WritesWholeLinesToStandardError)
{
    libmarl::TLogger logger;
    char text[] = "port opened";
    testing::internal::CaptureStderr();
    logger._write("serial", text);
    logger._write(nullptr, text);
    logger._write("serial", nullptr);
    logger._writeStr("plain");
    logger._writeStr("already ended\n");
    logger._writeStr(nullptr);
    logger.write("%s %d", "formatted", 7);
    logger.write("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "serial: port opened\nport opened\nplain\nalready ended\nformatted 7\n" +
                  std::string(5000, 'x') + "\n");
    EXPECT_STREQ(text, "port opened");
}

}  // namespace
