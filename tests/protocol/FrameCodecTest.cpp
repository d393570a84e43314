#include "protocol/FrameCodec.h"
#include "protocol/DeviceRecord.h"
#include "protocol/FrameSplitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

const LinkKey kZeroKey{};
const LinkKey kKey{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

Bytes Assemble(FrameType type, const Bytes& body, const LinkKey& key, int keyLength = kKeySize)
{
    Bytes frame(kMaxFrameSize);
    frame.resize(AssembleFrame(frame, TypeByte(type), body, key, keyLength));
    return frame;
}

// A send function that keeps what it is given in sent.
auto Into(Bytes& sent)
{
    return [&sent](const std::uint8_t* data, int count) { sent.assign(data, data + count); };
}

Bytes Join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Frames worked out by hand from the layout, not by running the codec.
TEST(FrameLayout, HandWorkedFrames)
{
    struct Case {
        const char* name;
        FrameType type;
        Bytes body;
        LinkKey key;
        int keyLength;
        Bytes expected;
    };
    // One frame a row, its bytes where they belong.
    // clang-format off
    const std::vector<Case> cases = {
        {"success ack, zero key", FrameType::Ack, {0x00}, kZeroKey, 6,
         {0x2A, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2D, 0x23}},
        {"probe command, zero key", FrameType::Command, {0, 0, 0}, kZeroKey, 6,
         {0x2A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2E, 0x23}},
        // 01^11 02^22 00^33 00^44, then the clear tag 55 66; checksum of the eight bytes before it.
        {"upload command under a key", FrameType::Command, {1, 2, 0}, kKey, 6,
         {0x2A, 0x04, 0x10, 0x20, 0x33, 0x44, 0x55, 0x66, 0x5A, 0x23}},
        // Data bytes at offsets 4 .. 15 take key bytes 2 3 4 5 0 1 2 3 4 5 0 1.
        {"value frame under a key", FrameType::Value, {1, 2, 7, 0, 0, 0}, kKey, 6,
         {0x2A, 0x05, 0x10, 0x20, 0x34, 0x44, 0x55, 0x66, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x11, 0x22,
          0x55, 0x66, 0x2B, 0x23}},
        // A shorter key repeats sooner: offsets 2 .. 15 take key bytes 0 1 2 0 1 2 ...; the tag is
        // still key bytes 4 and 5.
        {"value frame under a three-byte key", FrameType::Value, {1, 2, 7}, kKey, 3,
         {0x2A, 0x05, 0x10, 0x20, 0x34, 0x11, 0x22, 0x33, 0x11, 0x22, 0x33, 0x11, 0x22, 0x33, 0x11, 0x22,
          0x55, 0x66, 0x2B, 0x23}},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(Assemble(c.type, c.body, c.key, c.keyLength), c.expected) << c.name;
}

TEST(FrameLayout, BlockBodyUnderEveryKeyLength)
{
    // Block bodies are scrambled a word at a time over a repeated key; every byte must still take
    // key byte (offset - 2) mod length, across word and pattern boundaries alike.
    const Bytes zeros(2 + kBlockDataSize, 0x00);
    for (int keyLength = 1; keyLength <= 6; ++keyLength) {
        Bytes frame(kMaxFrameSize);
        ASSERT_EQ(AssembleFrame(frame, TypeByte(FrameType::Block), zeros, kKey, keyLength), kMaxFrameSize);
        for (int offset = 2; offset <= 4099; ++offset)
            ASSERT_EQ(frame[offset], kKey[(offset - 2) % keyLength])
                << "key length " << keyLength << ", offset " << offset;
        EXPECT_EQ(frame[4100], kKey[4]);
        EXPECT_EQ(frame[4101], kKey[5]);
        EXPECT_EQ(frame[4102], FrameChecksum(frame.data(), 4104));
        ASSERT_TRUE(CheckFrame(frame.data(), 4104, kKey, keyLength));
        EXPECT_EQ(Bytes(frame.begin() + 2, frame.begin() + 4100), zeros);
    }
}

TEST(FrameLayout, ChecksumOfEveryLengthAndAlignment)
{
    // The sum is taken a word at a time; its value must not depend on where the words fall.
    Bytes bytes(64 + 8);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(1u << (i % 8));
    for (int start = 0; start < 8; ++start)
        for (int length = 3; length <= 64; ++length) {
            // Bytes start .. start+length-3 are summed: a run of distinct single bits.
            std::uint8_t expected = 0;
            for (int i = 0; i < length - 2; ++i)
                expected ^= static_cast<std::uint8_t>(1u << ((start + i) % 8));
            ASSERT_EQ(FrameChecksum(bytes.data() + start, length), expected) << start << " " << length;
        }
}

TEST(FrameLayout, UnknownTypeShortBufferOrShortFrameIsRefused)
{
    Bytes small(9);
    EXPECT_EQ(AssembleFrame(small, TypeByte(FrameType::Ack), {}, kZeroKey), 0);
    Bytes big(kMaxFrameSize);
    EXPECT_EQ(AssembleFrame(big, 9, {}, kZeroKey), 0);
    Bytes frame = {0x2A, 0x07, 0x2D, 0x00, 0x00, 0x23};
    for (int n : {0, 1, 2, 5})
        EXPECT_FALSE(CheckFrame(frame.data(), n, kZeroKey)) << n;
}

TEST(FrameCheck, RestoresOnlyTheBodyOfAFrameBuiltWithTheSameKey)
{
    const Bytes body = {1, 2, 0x78, 0x56, 0x34, 0x12, 9, 9};
    // A delivery longer than the frame: what follows the given length is left alone.
    Bytes frame = Join(Assemble(FrameType::Value, body, kKey), {0xEE, 0xEE});
    ASSERT_TRUE(CheckFrame(frame.data(), 20, kKey));
    // The tag is never unscrambled.
    EXPECT_EQ(Bytes(frame.begin() + 2, frame.begin() + 18),
              Join(Join(body, Bytes(6, 0)), {kKey[4], kKey[5]}));
    EXPECT_EQ(Bytes(frame.begin() + 20, frame.end()), (Bytes{0xEE, 0xEE}));
}

TEST(FrameCheck, AnyChangedByteIsRejectedAndLeftScrambled)
{
    // A value frame is checked byte by byte, a block frame a word at a time.
    for (const Bytes& original : {Assemble(FrameType::Value, {5, 2, 1, 2, 3, 4}, kKey),
                                  Assemble(FrameType::Block, Bytes(4098, 0x5A), kKey)}) {
        const int n = static_cast<int>(original.size());
        for (int position = 0; position <= n - 2; position += n > 20 ? 373 : 1) {
            Bytes frame = original;
            frame[position] ^= 0x01;
            const Bytes received = frame;
            EXPECT_FALSE(CheckFrame(frame.data(), n, kKey)) << n << " byte " << position;
            EXPECT_EQ(frame, received) << n << " byte " << position;
        }
    }
}

TEST(FrameCompleteness, ChunksAsTheLinkDeliversThem)
{
    const Bytes ack = Assemble(FrameType::Ack, {0}, kKey);
    const Bytes value = Assemble(FrameType::Value, {1, 2}, kKey);
    const Bytes record = Assemble(FrameType::Record, {0x57}, kKey);
    const Bytes block = Assemble(FrameType::Block, {0, 0}, kKey);
    Bytes hello(18, 0x00);
    hello.front() = 0x2A;
    hello[1] = 0x02;
    hello.back() = 0x23;
    const Bytes truncatedBlock(block.begin(), block.end() - 1);

    struct Case {
        const char* name;
        Bytes chunk;
        bool complete;
        std::size_t sizeAfter;
    };
    const std::vector<Case> cases = {
        {"ack", ack, true, 10},
        {"ack followed by five bytes", Join(ack, Bytes(5, 0x11)), true, 15},
        {"value", value, true, 20},
        {"record", record, true, 72},
        {"block", block, true, 4104},
        {"block missing its end byte", truncatedBlock, false, 4103},
        {"greeting alone is dropped", hello, false, 0},
        {"greeting then block keeps the block", Join(hello, block), true, 4104},
        {"greeting then ack is not complete", Join(hello, ack), false, 10},
        {"greeting then block and more", Join(Join(hello, block), Bytes(1, 0)), false, 4105},
        {"command type from a device", Assemble(FrameType::Command, {0, 0, 0}, kKey), false, 10},
        {"empty", {}, false, 0},
        {"one byte", {0x2A}, false, 1},
        {"ack without its start byte", Join(Bytes{0x00}, Bytes(ack.begin() + 1, ack.end())), false, 10},
    };
    for (const auto& c : cases) {
        std::string buffer(c.chunk.begin(), c.chunk.end());
        EXPECT_EQ(IsFrameComplete(buffer), c.complete) << c.name;
        EXPECT_EQ(buffer.size(), c.sizeAfter) << c.name;
    }
}

TEST(FrameSplitter, CutsWholeFramesAndStrayRunsOffTheFront)
{
    using Kind = FrameCut::Kind;
    const Bytes ack = Assemble(FrameType::Ack, {0}, kKey);
    const Bytes value = Assemble(FrameType::Value, {1, 2}, kKey);
    struct Case {
        const char* name;
        Bytes data;
        FrameCut expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {Kind::Wait, 0}},
        {"start byte alone waits", {0x2A}, {Kind::Wait, 0}},
        {"partial ack waits", Bytes(ack.begin(), ack.begin() + 9), {Kind::Wait, 0}},
        {"ack", ack, {Kind::Frame, 10}},
        {"ack then value", Join(ack, value), {Kind::Frame, 10}},
        {"value", value, {Kind::Frame, 20}},
        {"stray bytes up to the next start byte", Join(Bytes{1, 2, 3}, ack), {Kind::Stray, 3}},
        {"stray bytes without a start byte", {1, 2, 3}, {Kind::Stray, 3}},
        {"unknown type is stray", Join(Bytes{0x2A, 0x09}, ack), {Kind::Stray, 2}},
        {"no end byte where the frame ends resynchronises",
         Join(Bytes{0x2A, 0x07, 0, 0, 0, 0, 0, 0, 0, 0}, ack),
         {Kind::Stray, 10}},
        {"a start byte inside garbage", Bytes{0x2A, 0x07, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0}, {Kind::Stray, 2}},
    };
    for (const auto& c : cases) {
        const FrameCut cut = CutFrame(c.data);
        EXPECT_EQ(cut.kind, c.expected.kind) << c.name;
        EXPECT_EQ(cut.length, c.expected.length) << c.name;
    }
}

TEST(LinkKeys, KeyFromTheClockUsesItsLowBytes)
{
    const LinkKey key = DeriveKey(0x0102030405LL);
    EXPECT_EQ(Bytes(key.begin(), key.begin() + 4), (Bytes{0x05, 0x04, 0x03, 0x02}));
    // The tag bytes change with the clock too, and are not its raw bytes.
    const LinkKey next = DeriveKey(0x0102030406LL);
    EXPECT_NE(key[4], next[4]);
    EXPECT_NE(key[4], 0x05);
}

TEST(LinkKeys, KeyFrameCarriesTheKeyUnderTheMask)
{
    Bytes frame(10);
    AssembleKeyFrame(frame.data(), kKey);
    // 11^3C 22^A5 33^5A 44^C3 55^96 66^69, no tag, checksum of bytes 0 .. 7.
    EXPECT_EQ(frame, (Bytes{0x2A, 0x00, 0x2D, 0x87, 0x69, 0x87, 0xC3, 0x0F, 0xA2, 0x23}));
    EXPECT_EQ(ReadKeyFrame(frame.data()), kKey);
}

TEST(CodecState, StartsWithTheZeroKeyAndANewKeyIsAnnouncedAndInForceAtOnce)
{
    FrameCodec codec;
    EXPECT_EQ(codec.currentKey(), kZeroKey);
    EXPECT_EQ(codec.previousKey(), kZeroKey);
    codec.InstallKey(kKey);

    Bytes sent;
    const auto before = std::time(nullptr);
    codec.NewKeyAndSend(Into(sent));
    const auto after = std::time(nullptr);

    ASSERT_EQ(sent.size(), 10u);
    const LinkKey announced = ReadKeyFrame(sent.data());
    Bytes expected(10);
    AssembleKeyFrame(expected.data(), announced);  // whose layout is worked by hand above
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(codec.currentKey(), announced);
    EXPECT_EQ(codec.previousKey(), kKey);
    EXPECT_TRUE(announced == DeriveKey(before) || announced == DeriveKey(after));
}

TEST(CodecState, RecordRequestIsBuiltInTheSendBufferAfterAPause)
{
    FrameCodec codec;
    const std::uint8_t payload[] = {0xA0, 0xAA, 0xAA};
    Bytes sent;
    const auto start = std::chrono::steady_clock::now();
    codec.BuildFrameAndSend(TypeByte(FrameType::RecordRequest), 0x52, payload, 3, Into(sent));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(sent, (Bytes{0x2A, 0x01, 0x52, 0xA0, 0xAA, 0xAA, 0x00, 0x00, 0xD9, 0x23}));
}

TEST(CodecState, RecordFrameUnderAKeyChecksBackToItsPayload)
{
    FrameCodec codec;
    codec.InstallKey(kKey);
    Bytes payload(65);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7);
    Bytes sent;
    codec.BuildFrameAndSend(TypeByte(FrameType::Record), 0x57, payload.data(), 200, Into(sent));  // cut to 65
    ASSERT_EQ(sent.size(), 72u);
    ASSERT_TRUE(codec.CheckFrame(sent.data(), 72));
    EXPECT_EQ(Bytes(sent.begin() + 2, sent.begin() + 70), Join(Join({0x57}, payload), {kKey[4], kKey[5]}));
}

std::chrono::system_clock::time_point Utc(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    using namespace std::chrono;
    return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

// The whole record, from its parts: the name as it is (zero bytes too), the date twice, then the
// time of day, all 16-bit little-endian, in a record otherwise filled with AA.
Bytes Expected(const char* name, const Bytes& date, const Bytes& time)
{
    Bytes record(kDeviceRecordSize, 0xAA);
    record[0] = 0xA0;
    std::copy(name, name + 12, record.begin() + 1);
    record[13] = 0x00;
    std::copy(date.begin(), date.end(), record.begin() + 25);
    std::copy(date.begin(), date.end(), record.begin() + 31);
    std::copy(time.begin(), time.end(), record.begin() + 37);
    record[43] = 0x01;
    return record;
}

TEST(DeviceRecord, LaysOutNameDateAndTimeAcrossCalendarEdges)
{
    struct Case {
        std::chrono::system_clock::time_point when;
        Bytes date;  // year, month, day
        Bytes time;  // hour, minute, second
    };
    const std::vector<Case> cases = {
        {Utc(2024, 3, 5, 14, 7, 9) + std::chrono::milliseconds(999),
         {0xE8, 0x07, 3, 0, 5, 0},
         {14, 0, 7, 0, 9, 0}},
        {Utc(1970, 1, 1, 0, 0, 0), {0xB2, 0x07, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0}},
        {Utc(2024, 2, 29, 23, 59, 59), {0xE8, 0x07, 2, 0, 29, 0}, {23, 0, 59, 0, 59, 0}},
        {Utc(2099, 12, 31, 12, 30, 1), {0x33, 0x08, 12, 0, 31, 0}, {12, 0, 30, 0, 1, 0}},
    };
    const char name[12] = {'A', 'B', 0, 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'};
    for (const auto& c : cases) {
        const DeviceRecord record = MakeDeviceRecord(name, c.when);
        EXPECT_EQ(Bytes(record.begin(), record.end()), Expected(name, c.date, c.time)) << +c.date[4];
    }
}

}  // namespace
}  // namespace quillon
