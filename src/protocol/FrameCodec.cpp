#include "protocol/FrameCodec.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "support/base/Diagnostics.h"

namespace quillon {

namespace {

// Mixed into the two key-tag bytes of a new key so that the tag is not simply the clock's low bytes.
constexpr std::uint8_t kKeyTagSalt0 = 0x5D;
constexpr std::uint8_t kKeyTagSalt1 = 0xB2;

// The device needs a short pause between a frame it has just answered and the next one.

// A whole number of keys of every length 1..6 (60 bytes) and of 16-byte vector registers, so that
// the word loops below compile to vector instructions: 240 bytes, 30 words.
constexpr int kKeyPatternSize = 240;
constexpr int kKeyPatternWords = kKeyPatternSize / 8;

int ClampKeyLength(int keyLength) noexcept { return std::clamp(keyLength, 1, kKeySize); }

}  // namespace

namespace {

// What one pass over a body gives besides the body scrambled (or unscrambled): the XOR of its bytes
// before and after, from which the checksum follows without a second pass.
struct BodySums {
    std::uint8_t before = 0;
    std::uint8_t after = 0;
};

std::uint8_t FoldWord(std::uint64_t wide) noexcept
{
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    return static_cast<std::uint8_t>(wide);
}

BodySums ScrambleSummed(std::uint8_t* body, int count, const LinkKey& key, int keyLength) noexcept
{
    keyLength = ClampKeyLength(keyLength);
    BodySums sums;

    // Only a block's body is longer than the pattern below; for the others (66 bytes at most)
    // laying the pattern out would cost more than it saves.
    if (count < kKeyPatternSize) {
        for (int j = 0, k = 0; j < count; ++j) {
            sums.before ^= body[j];
            body[j] ^= key[k];
            sums.after ^= body[j];
            if (++k == keyLength)
                k = 0;
        }
        return sums;
    }

    // A block body is 4098 bytes and every block is scrambled on its way out and unscrambled on
    // its way in, so it goes a machine word at a time. The key is laid out repeated over
    // kKeyPatternSize bytes, a whole number of keys of any length 1..6 and of words, so body word
    // w always meets pattern word w mod kKeyPatternWords, whatever the key length.
    std::uint8_t spread[kKeyPatternSize];
    std::memcpy(spread, key.data(), keyLength);
    // What is filled is whole keys, so copying it on after itself carries the key on.
    for (int filled = keyLength; filled < kKeyPatternSize; filled *= 2)
        std::memcpy(spread + filled, spread, std::min(filled, kKeyPatternSize - filled));
    std::uint64_t pattern[kKeyPatternWords];
    std::memcpy(pattern, spread, sizeof pattern);

    // XOR is bytewise, so summing whole words and folding the result gives the bytes' sum.
    std::uint64_t before = 0;
    std::uint64_t after = 0;
    int j = 0;
    for (; j + kKeyPatternSize <= count; j += kKeyPatternSize) {
        for (int w = 0; w < kKeyPatternWords; ++w) {
            std::uint64_t word;  // memcpy: the body need not be aligned for a word
            std::memcpy(&word, body + j + 8 * w, 8);
            before ^= word;
            word ^= pattern[w];
            after ^= word;
            std::memcpy(body + j + 8 * w, &word, 8);
        }
    }
    sums.before = FoldWord(before);
    sums.after = FoldWord(after);
    // The rest begins where a pattern begins.
    for (int k = 0; j < count; ++j, ++k) {
        sums.before ^= body[j];
        body[j] ^= spread[k];
        sums.after ^= body[j];
    }
    return sums;
}

// The checksum's bytes outside the body: the start and type bytes and the key tag.
std::uint8_t FrameEdgeSum(const std::uint8_t* frame, int length) noexcept
{
    return frame[0] ^ frame[1] ^ frame[length - 4] ^ frame[length - 3];
}

}  // namespace

void ScrambleBody(std::uint8_t* frame, int length, const LinkKey& key, int keyLength) noexcept
{
    ScrambleSummed(frame + 2, length - 6, key, keyLength);
}

std::uint8_t FrameChecksum(const std::uint8_t* frame, int length) noexcept
{
    // XOR is bytewise, so XORing whole words and then the eight bytes of the result gives the same
    // sum, eight bytes at a time: a block frame's 4102 bytes are summed on every block both ways.
    const int count = length - 2;  // bytes 0 .. length-3
    std::uint64_t wide = 0;
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, frame + i, 8);
        wide ^= word;
    }
    std::uint8_t sum = FoldWord(wide);
    for (; i < count; ++i)
        sum ^= frame[i];
    return sum;
}

int BeginFrame(std::span<std::uint8_t> out, std::uint8_t type) noexcept
{
    const int length = FrameLength(type);
    if (length == 0 || out.size() < static_cast<std::size_t>(length))
        return 0;
    std::memset(out.data(), 0, length);
    out[0] = kFrameStart;
    out[1] = type;
    return length;
}

void SealFrame(std::uint8_t* frame, int length, const LinkKey& key, int keyLength) noexcept
{
    frame[length - 4] = key[4];
    frame[length - 3] = key[5];
    // The checksum covers the body as it travels: scrambling sums it on the way.
    const BodySums sums = ScrambleSummed(frame + 2, length - 6, key, keyLength);
    frame[length - 2] = FrameEdgeSum(frame, length) ^ sums.after;
    frame[length - 1] = kFrameEnd;
}

int AssembleFrame(std::span<std::uint8_t> out, std::uint8_t type, std::span<const std::uint8_t> body,
                  const LinkKey& key, int keyLength) noexcept
{
    const int length = BeginFrame(out, type);
    if (length == 0)
        return 0;
    const std::size_t count = std::min<std::size_t>(body.size(), length - 6);
    if (count > 0)
        std::memcpy(out.data() + 2, body.data(), count);
    SealFrame(out.data(), length, key, keyLength);
    return length;
}

bool CheckFrame(std::uint8_t* frame, int n, const LinkKey& key, int keyLength) noexcept
{
    if (n < 6)
        return false;
    // Unscrambled and summed in one pass; the rare frame that fails is scrambled back, so that it
    // is left as it came.
    const BodySums sums = ScrambleSummed(frame + 2, n - 6, key, keyLength);
    if ((FrameEdgeSum(frame, n) ^ sums.before) != frame[n - 2]) {
        ScrambleSummed(frame + 2, n - 6, key, keyLength);
        return false;
    }
    return true;
}

bool IsFrameComplete(std::string& buffer)
{
    const auto at = [&buffer](std::size_t i) -> int {
        return i < buffer.size() ? static_cast<unsigned char>(buffer[i]) : -1;
    };
    const auto endsAt = [&](std::size_t end) { return at(0) == kFrameStart && at(end) == kFrameEnd; };

    switch (at(1)) {
    case TypeByte(FrameType::Ack):
        return endsAt(9);
    case TypeByte(FrameType::Value):
        return endsAt(19);
    case TypeByte(FrameType::Record):
        return endsAt(71);
    case TypeByte(FrameType::Block):
        return buffer.size() >= kMaxFrameSize && endsAt(kMaxFrameSize - 1);
    case TypeByte(FrameType::Hello):
        if (!endsAt(17))
            return false;
        // A device may send its greeting right before a block; only the block is kept. The padding
        // of a padded greeting can start no frame and goes too: left in the buffer, it would hide
        // the frame the device sends next, such as its first answer after a greeting that crossed
        // the key frame.
        buffer.erase(0, 18);
        buffer.erase(0, std::min(buffer.find(static_cast<char>(kFrameStart)), buffer.size()));
        return buffer.size() == kMaxFrameSize && endsAt(kMaxFrameSize - 1);
    default:
        return false;
    }
}

LinkKey DeriveKey(std::int64_t seconds) noexcept
{
    const auto t = static_cast<std::uint64_t>(seconds);
    const auto byte = [t](int i) { return static_cast<std::uint8_t>(t >> (8 * i)); };
    return {byte(0),
            byte(1),
            byte(2),
            byte(3),
            static_cast<std::uint8_t>(byte(0) ^ kKeyTagSalt0),
            static_cast<std::uint8_t>(byte(1) ^ kKeyTagSalt1)};
}

void AssembleKeyFrame(std::uint8_t* out, const LinkKey& key, const LinkKey& mask) noexcept
{
    out[0] = kFrameStart;
    out[1] = TypeByte(FrameType::Key);
    for (int i = 0; i < kKeySize; ++i)
        out[2 + i] = key[i] ^ mask[i];
    out[8] = FrameChecksum(out, 10);
    out[9] = kFrameEnd;
}

LinkKey ReadKeyFrame(const std::uint8_t* frame, const LinkKey& mask) noexcept
{
    LinkKey key{};
    for (int i = 0; i < kKeySize; ++i)
        key[i] = frame[2 + i] ^ mask[i];
    return key;
}

FrameCodec::FrameCodec()
    : FrameMarks{kFrameStart, kFrameEnd}, CurrentKey{}, PreviousKey{}, KeyMask(kKeyMask),
      KeyLength(kKeySize), SendBuffer{}, SendLength(0)
{}

LinkKey FrameCodec::currentKey() const
{
    std::lock_guard lock(keyMutex_);
    return CurrentKey;
}

LinkKey FrameCodec::previousKey() const
{
    std::lock_guard lock(keyMutex_);
    return PreviousKey;
}

void FrameCodec::InstallKey(const LinkKey& key)
{
    std::lock_guard lock(keyMutex_);
    PreviousKey = CurrentKey;
    CurrentKey = key;
}

void FrameCodec::Seal(std::uint8_t* frame, int length) const
{
    SealFrame(frame, length, currentKey(), KeyLength);
}

bool FrameCodec::CheckFrame(std::uint8_t* frame, int n) const
{
    return quillon::CheckFrame(frame, n, currentKey(), KeyLength);
}

void FrameCodec::BuildFrame(std::uint8_t type, std::uint8_t command, const std::uint8_t* payload, int count)
{
    std::memset(SendBuffer, 0, sizeof SendBuffer);
    SendLength = 0;
    std::this_thread::sleep_for(kFramePause);

    const int length = FrameLength(type);
    if (length == 0 || type == TypeByte(FrameType::Key) || length >= kSendBufferSize)
        return;  // key frames have their own layout; blocks are never built here

    SendBuffer[0] = FrameMarks[0];
    SendBuffer[1] = type;
    SendBuffer[2] = command;
    count = std::clamp(count, 0, length - 7);  // what the body holds after the command byte
    if (count > 0)
        std::memcpy(SendBuffer + 3, payload, count);
    Seal(SendBuffer, length);
    SendLength = length;
}

void FrameCodec::PrepareKeyFrame(Pause pause)
{
    diag::Line("sendkey");
    std::memset(SendBuffer, 0, sizeof SendBuffer);
    SendLength = 0;
    if (pause == Pause::Wait)
        std::this_thread::sleep_for(kFramePause);

    const LinkKey key = DeriveKey(static_cast<std::int64_t>(std::time(nullptr)));
    InstallKey(key);
    AssembleKeyFrame(SendBuffer, key, KeyMask);
    SendLength = FrameLength(FrameType::Key);
}

}  // namespace quillon
