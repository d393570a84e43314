// What the micro benchmarks feed the code: archive-like noise (a zip archive is compressed data,
// which looks like noise byte for byte) and frames sealed with a key a link really makes.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "protocol/FrameCodec.h"

namespace quillon::bench {

using Bytes = std::vector<std::uint8_t>;

// Reproducible noise: the same seed gives the same bytes in every run.
inline Bytes Noise(std::size_t count, std::uint32_t seed = 0x51u)
{
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(count);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(byte(engine));
    return bytes;
}

// The key a link announces at 1787105844 s (2026-08-19). Its six bytes XOR to zero, so a block
// frame's checksum is the same scrambled and clear (every key byte covers the 4098-byte body an
// odd 683 times): the receive check can then run on the same frame over and over, each accepted
// check turning the body back for the next, with nothing else in the timed loop.
inline const LinkKey kBenchKey = DeriveKey(1787105844);

// A sealed frame of type with the clear body given (cut or zero-padded to the type's body).
inline Bytes SealedFrame(FrameType type, const Bytes& body, const LinkKey& key = kBenchKey)
{
    Bytes frame(kMaxFrameSize);
    frame.resize(static_cast<std::size_t>(AssembleFrame(frame, TypeByte(type), body, key)));
    return frame;
}

// A block frame: the index, little-endian, then 4096 bytes of noise that differ from block to block.
inline Bytes BlockFrame(std::uint16_t index, const LinkKey& key = kBenchKey)
{
    Bytes body(2);
    WriteLe16(body.data(), index);
    const Bytes data = Noise(kBlockDataSize, 0x1000u + index);
    body.insert(body.end(), data.begin(), data.end());
    return SealedFrame(FrameType::Block, body, key);
}

}  // namespace quillon::bench
