#include "state/Sysconfig_SET.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "common/Latch.h"

namespace {

CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

// The first call of the process and the first link reports are raced on purpose: every thread
// must get the one instance, and all must see the one link that won (0 serial, 1 TCP), kept for
// good.
TEST(Registry, ConcurrentFirstCallersShareOneInstanceAndOneLatchedLink)
{
    constexpr int kThreads = 8;
    quillon::testing::Latch start(kThreads);
    std::vector<CSysconfig_SET*> instances(kThreads);
    std::vector<int> links(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            instances[i] = CSysconfig_SET::get();
            instances[i]->SetSeriOrTcp(i % 2);
            links[i] = instances[i]->GetSeriOrTcp();  // nobody may overwrite the winner afterwards
        });
    for (auto& t : threads)
        t.join();
    const int winner = Registry().GetSeriOrTcp();
    EXPECT_TRUE(winner == 0 || winner == 1);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(instances[i], &Registry());
        EXPECT_EQ(links[i], winner);
    }
    for (const int later : {1 - winner, -1}) {
        Registry().SetSeriOrTcp(later);
        EXPECT_EQ(Registry().GetSeriOrTcp(), winner) << "after " << later;
    }
}

TEST(Registry, RatesAreSinglePrecisionPercentages)
{
    struct Case {
        int done, total, percent;
    };
    const std::vector<Case> cases = {
        {1, 3, 33},
        {2, 3, 66},
        {3, 3, 100},
        {53, 100, 52},
        {59, 100, 58},
        {1, 2, 50},
        {5, 4, 125},  // not clamped
        {0, 7, 0},
        {1, 0, 100},            // nothing to move is all moved, never a division by zero
        {INT_MAX, 1, INT_MAX},  // kept within int instead of overflowing
        {INT_MIN, 1, INT_MIN},
    };
    auto& r = Registry();
    for (const auto& c : cases) {
        r.SetReadRate(c.done, c.total);
        r.SetWriteRate(c.done, c.total);
        EXPECT_EQ(r.GetReadRate(), c.percent) << c.done << " of " << c.total;
        EXPECT_EQ(r.GetWriteRate(), c.percent) << c.done << " of " << c.total;
    }
}

TEST(Registry, FinishingKeepsTheRateAndRestartingZeroesIt)
{
    auto& r = Registry();
    r.SetWriteRate(1, 2);
    r.SetWritefinish(true);
    EXPECT_TRUE(r.GetWritefinish());
    EXPECT_EQ(r.GetWriteRate(), 50);
    r.SetWritefinish(false);
    EXPECT_EQ(r.GetWriteRate(), 0);

    r.SetReadRate(2, 3);
    r.SetReadfinish(true);
    EXPECT_EQ(r.GetReadRate(), 66);
    EXPECT_EQ(r.GetWriteRate(), 0);  // the two directions are independent
    r.SetReadfinish(false);
    EXPECT_FALSE(r.GetReadfinish());
    EXPECT_EQ(r.GetReadRate(), 0);
}

}  // namespace
