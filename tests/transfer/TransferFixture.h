// A transfer object with a device connected to it over TCP on a loopback port of its own, played by
// the test; and what the tests of the transfer object share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <sstream>

#include "common/DevicePeer.h"
#include "common/LoopbackLink.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "transfer/Quillon.h"

namespace quillon::testing {

inline CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

// How many entries a folder holds: in /proc/self/task the threads running, in /proc/self/fd the
// descriptors open.
inline std::size_t EntriesIn(const fs::path& folder)
{
    std::error_code error;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder, error), fs::directory_iterator()));
}

// Runs a host operation on a thread of its own, as a host does.
template <typename Op>
auto OnHostThread(Op&& op)
{
    return std::async(std::launch::async, std::forward<Op>(op));
}

class TcpTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        quillon_ = std::make_unique<CQuillon>(LoopbackLink());
        auto channel = ConnectTcp(quillon_->GetListeningPort());
        ASSERT_TRUE(channel) << "nothing listens on port " << quillon_->GetListeningPort();
        device_.emplace(std::move(channel));
        ASSERT_TRUE(device_->ReadKeyFrame()) << "no key frame on connection";
        ASSERT_TRUE(WaitFor([] { return Registry().GetSeriOrTcp() == kTcpLink; }));
    }

    void TearDown() override
    {
        device_.reset();
        quillon_.reset();
    }

    CQuillon& quillon() { return *quillon_; }
    DevicePeer& device() { return *device_; }

    // The next frame from the host, which must check out and be of this type.
    std::optional<CheckedFrame> Expect(FrameType type)
    {
        auto frame = device().ReadFrame();
        if (frame && frame->checked() && frame->type() == TypeByte(type))
            return frame;
        ADD_FAILURE() << "expected a frame of type " << +TypeByte(type) << ", got "
                      << (frame ? "type " + std::to_string(frame->type()) : std::string("nothing"));
        return std::nullopt;
    }

    // The next frame from the host, which must be a command with these bytes.
    void ExpectCommand(std::uint8_t a, std::uint8_t b, std::uint8_t c)
    {
        const auto frame = Expect(FrameType::Command);
        ASSERT_TRUE(frame) << "no command (" << +a << ", " << +b << ", " << +c << ")";
        EXPECT_EQ(Bytes(frame->clear.begin() + 2, frame->clear.begin() + 6), (Bytes{a, b, c, 0}));
    }

    // The next frame from the host, which must be a success acknowledgement.
    void ExpectAck()
    {
        const auto frame = Expect(FrameType::Ack);
        ASSERT_TRUE(frame) << "no acknowledgement";
        EXPECT_EQ(frame->at(2), 0);
    }

    // Someone else connects while an exchange runs and forges a frame under the key in force, as
    // one who guessed it from the clock might: it is turned away unkeyed and never answered. (That
    // a newcomer is turned away while the host is busy is the TCP link's rule; when the host is
    // busy is the transfer object's.)
    void NewcomerForges(const std::function<void(DevicePeer&)>& forge)
    {
        DevicePeer intruder(ConnectTcp(quillon().GetListeningPort()));
        EXPECT_FALSE(intruder.ReadKeyFrame(200ms)) << "a newcomer was keyed during an exchange";
        intruder.SetKey(device().key());
        forge(intruder);
        EXPECT_FALSE(intruder.ReadFrame(500ms)) << "the newcomer was talked to";
    }

    TempFolder folder_;

private:
    std::unique_ptr<CQuillon> quillon_;
    std::optional<DevicePeer> device_;
};

// The lines of printed text that start with one of the prefixes: the operation's own
// diagnostics, picked out of what every thread printed meanwhile.
inline std::string LinesStartingWith(const std::string& printed,
                                     std::initializer_list<std::string_view> prefixes)
{
    std::istringstream in(printed);
    std::string line, kept;
    while (std::getline(in, line))
        if (std::any_of(prefixes.begin(), prefixes.end(),
                        [&](std::string_view p) { return line.starts_with(p); }))
            kept += line + '\n';
    return kept;
}

}  // namespace quillon::testing
