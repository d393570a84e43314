// The host's TCP link as its settings make it, against peers on loopback: only allowed peers are
// ever keyed, a flood of connections neither exhausts the host nor keeps the device out, and what
// a device sends cannot grow the host's state without bound.
#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <fstream>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include "device/DeviceSimulator.h"
#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

struct AllowCase {
    const char* name;
    std::vector<std::string> allowed;
    bool keyed;
};

class AllowedPeers : public ::testing::TestWithParam<AllowCase> {};

TEST_P(AllowedPeers, OnlyThoseAllowedAreKeyedTheRestAreLoggedAndClosed)
{
    ::testing::internal::CaptureStdout();
    CQuillon host(LoopbackLink(GetParam().allowed));
    ASSERT_NE(host.GetListeningPort(), 0);
    DevicePeer peer(ConnectTcp(host.GetListeningPort()));
    const bool keyed = peer.ReadKeyFrame().has_value();
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(keyed, GetParam().keyed);
    EXPECT_EQ(log.find("connection from 127.0.0.1 port ") != std::string::npos &&
                  log.find("refused: not in the allowed list") != std::string::npos,
              !GetParam().keyed)
        << log;
}

const AllowCase kAllowCases[] = {
    {"Everyone", {}, true},
    {"TheAddress", {"127.0.0.1"}, true},
    {"ItsNetwork", {"10.0.0.0/8", "127.0.0.0/8"}, true},
    {"ItsIpv6Form", {"::ffff:127.0.0.1"}, true},
    {"AnyAddress", {"0.0.0.0/0"}, true},
    {"AnotherAddress", {"127.0.0.2"}, false},
    {"OtherNetworks", {"10.0.0.0/8", "192.168.7.0/24", "127.0.0.128/25"}, false},
    {"Ipv6Only", {"::1", "::/0"}, false},
};
INSTANTIATE_TEST_SUITE_P(Table, AllowedPeers, ::testing::ValuesIn(kAllowCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkSettings, WhatCannotBeUsedIsSaidAndLeavesTheLinkOff)
{
    const auto with = [](auto change) {
        LinkSettings settings = LoopbackLink();
        change(settings);
        return LinkSettingsProblem(settings);
    };
    EXPECT_EQ(with([](LinkSettings&) {}), "");
    EXPECT_EQ(with([](LinkSettings& s) { s.listen = false, s.port = -1; }), "") << "nothing to listen with";
    EXPECT_NE(with([](LinkSettings& s) { s.listenAddress = "localhost"; }).find("\"localhost\""),
              std::string::npos);
    EXPECT_NE(with([](LinkSettings& s) { s.port = 65536; }).find("65536"), std::string::npos);
    EXPECT_NE(with([](LinkSettings& s) { s.allowedPeers = {"10.0.0.0/33"}; }).find("\"33\""),
              std::string::npos);
    EXPECT_NE(with([](LinkSettings& s) { s.allowedPeers = {"::1/"}; }), "");
    EXPECT_NE(with([](LinkSettings& s) { s.allowedPeers = {"10.0.0.1/+8"}; }), "");
    EXPECT_NE(with([](LinkSettings& s) { s.maxConnections = 0; }), "");

    LinkSettings wrong = LoopbackLink({"not an address"});
    EXPECT_EQ(CQuillon(wrong).GetListeningPort(), 0);
    wrong.listen = false;
    wrong.allowedPeers.clear();
    EXPECT_EQ(CQuillon(wrong).GetListeningPort(), 0);
}

TEST(LinkSettings, ListensOnIpv6)
{
    CQuillon host(LoopbackLink({"::1"}, "::1"));
    if (host.GetListeningPort() == 0)
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    DevicePeer peer(ConnectTcp(host.GetListeningPort(), "::1"));
    EXPECT_TRUE(peer.ReadKeyFrame());
}

// A peer that opens connections as fast as it can and leaves them silent: each one is the device
// only until the next comes, the host holds a handful of descriptors whatever the count, and the
// real device that connects afterwards is keyed and served.
TEST(ConnectionFlood, NeitherExhaustsTheHostNorKeepsTheDeviceOut)
{
#if !defined(__linux__)
    GTEST_SKIP() << "counts the process's descriptors in /proc";
#else
    constexpr int kFlood = 2000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 3 * kFlood));
    if (limit.rlim_cur < 2 * kFlood || setrlimit(RLIMIT_NOFILE, &limit) != 0)
        GTEST_SKIP() << "the flood needs " << 2 * kFlood << " descriptors";

    TempFolder folder;
    CQuillon host(LoopbackLink());
    const int port = host.GetListeningPort();
    ASSERT_NE(port, 0);
    const std::size_t before = EntriesIn("/proc/self/fd");
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> flood;
    flood.reserve(kFlood);
    std::size_t mostHeldByTheHost = 0;
    for (int i = 0; i < kFlood; ++i) {
        flood.emplace_back(io).connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)});
        if (i % 50 == 0)
            mostHeldByTheHost =
                std::max(mostHeldByTheHost, EntriesIn("/proc/self/fd") - before - flood.size());
    }
    // The newest connection is keyed once the host has taken in every one before it.
    DevicePeer last(ConnectTcp(port));
    ASSERT_TRUE(last.ReadKeyFrame(std::chrono::seconds(10))) << "the host fell behind the flood";
    mostHeldByTheHost = std::max(mostHeldByTheHost, EntriesIn("/proc/self/fd") - before - flood.size() - 1);
    EXPECT_LE(mostHeldByTheHost, 16u) << "the host held a descriptor for each silent connection";

    const fs::path archive = folder.path() / "up.zip";
    std::vector<std::string> names = {"a.ORI"};
    std::ofstream(folder.path() / "a.ORI") << std::string(20000, 'q');
    ASSERT_EQ(host.ComPressSet(folder.str(), names, archive.string()), 0);
    sim::SimulatorOptions options;
    options.port = port;
    options.stateFolder = folder.path() / "state";
    sim::DeviceSimulator device(options);
    ASSERT_EQ(device.Start(), "");
    ASSERT_TRUE(WaitFor([&] {
        return device.GetStats().sessions == 1 && Registry().GetSeriOrTcp() == kTcpLink;
    })) << "the device was never keyed";
    EXPECT_EQ(host.WriteSettoHard(archive.string(), 2), 0);
    EXPECT_TRUE(WaitFor([&] { return device.GetStats().uploadsStored == 1; }));
#endif
}

// Directory-name replies append to what came before, and anyone on the link can send them at any
// time; the name keeps no more than a directory check reads of it.
TEST(RecordFlood, TheDirectoryNameStaysWithinItsBound)
{
    CQuillon host(LoopbackLink());
    DevicePeer device(ConnectTcp(host.GetListeningPort()));
    ASSERT_TRUE(device.ReadKeyFrame());
    ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == kTcpLink; }));
    const Bytes name = {0, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'};
    for (int i = 0; i < 5000; ++i)
        device.Send(FrameType::Record, name);
    // The probe's answer comes after every record on the same connection.
    auto probe = OnHostThread([&] { return host.JudgeIsAvailable(); });
    ASSERT_TRUE(device.ReadFrame());
    device.SendAck();
    EXPECT_TRUE(probe.get());
    std::string expected;
    while (expected.size() < 64)
        expected += "ABCDEFGHIJKL";
    expected.resize(64);
    EXPECT_EQ(Registry().DeviceDirName.load(), expected);
}

}  // namespace
}  // namespace quillon::testing
