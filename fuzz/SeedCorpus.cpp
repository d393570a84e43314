// Writes the fuzz targets' seed corpora: inputs that reach deep into each target at once (valid
// frames under the fuzz key, real archives, real description files), from which the fuzzers
// mutate. Run it to refresh fuzz/corpus/ after a change of input format:
//   quillon_fuzz_seeds <fuzz/corpus folder>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "archive/ComPression.h"

using namespace quillon;
namespace fs = std::filesystem;
using Bytes = std::string;

namespace {

Bytes Frame(FrameType type, const std::vector<std::uint8_t>& body)
{
    std::vector<std::uint8_t> frame(kMaxFrameSize);
    frame.resize(AssembleFrame(frame, TypeByte(type), body, fuzz::kFuzzKey));
    return Bytes(frame.begin(), frame.end());
}

Bytes Padded(Bytes frame)
{
    if (frame.size() < 72) {
        frame.resize(72, '\0');
        frame.back() = '#';
    }
    return frame;
}

Bytes Value(std::uint8_t a, std::uint8_t b, std::uint32_t v)
{
    std::vector<std::uint8_t> body = {a, b, 0, 0, 0, 0};
    WriteLe32(body.data() + 2, v);
    return Frame(FrameType::Value, body);
}

Bytes Block(std::uint16_t index, const Bytes& archive)
{
    std::vector<std::uint8_t> body(2);
    WriteLe16(body.data(), index);
    const std::size_t start = static_cast<std::size_t>(index) * kBlockDataSize;
    for (std::size_t i = start; i < archive.size() && i < start + kBlockDataSize; ++i)
        body.push_back(static_cast<std::uint8_t>(archive[i]));
    return Frame(FrameType::Block, body);
}

Bytes Ack(std::uint8_t code) { return Frame(FrameType::Ack, {code}); }

Bytes Greeting() { return Frame(FrameType::Hello, {}); }

Bytes Record(const std::string& name)
{
    std::vector<std::uint8_t> body(66, 0xAA);
    body[0] = 0x52;
    body[1] = 0xA0;
    std::copy(name.begin(), name.end(), body.begin() + 2);
    return Frame(FrameType::Record, body);
}

// A small real archive of two files, as a device would send one.
Bytes SampleArchive()
{
    testing::ScratchFolder work;
    work.file("DeviceSet.DST", "AB12XY345678\r\nBDB0001\r\n");
    work.file("AB12XY345678.ORI", std::string(6000, 'x') + "end");
    CComPression packer;
    packer.Setzipfilespath(work.path());
    packer.ComPress({"DeviceSet.DST", "AB12XY345678.ORI"}, work.path("sample.zip"));
    return testing::ReadBytes(work.path("sample.zip"));
}

// Serial chunks: a two-byte length before each.
Bytes Chunk(const Bytes& bytes)
{
    return Bytes{static_cast<char>(bytes.size() & 0xFF), static_cast<char>(bytes.size() >> 8)} + bytes;
}

}  // namespace

// One seed for each state an operation leaves the link in, and for each way bytes arrive; the
// fuzzer finds the variations (refusals, wrong indexes, cut chunks) from there.
int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const Bytes archive = SampleArchive();
    // State byte: 0 none, 1 upload, 2 version write, 3 download, 4 version read; kind in bits 4-5.
    const auto state = [](int op, int kind = 0) { return Bytes(1, static_cast<char>(op | kind << 4)); };
    const Bytes size = Value(0, 1, static_cast<std::uint32_t>(archive.size()));
    Bytes download = size, serialDownload = state(3) + Chunk(Padded(size));
    for (std::uint16_t i = 0; i * kBlockDataSize < archive.size(); ++i) {
        const Bytes block = Block(i, archive);
        download += block;
        serialDownload += Chunk(block.substr(0, 1000)) + Chunk(block.substr(1000));
    }
    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"fuzz_tcp_receive/upload-ack", state(1) + Bytes(1, 0) + Ack(0)},
        {"fuzz_tcp_receive/version-write-refused", state(2) + Bytes(1, 0) + Ack(0) + Ack(1)},
        {"fuzz_tcp_receive/download", state(3) + Bytes(1, 0) + download},
        {"fuzz_tcp_receive/download-raw", state(3) + Bytes(1, 1) + Value(0, 1, 4000)},
        {"fuzz_tcp_receive/version-read", state(4, 1) + Bytes(1, 0) + Value(1, 2, 7)},
        {"fuzz_tcp_receive/record", state(0) + Bytes(1, 0) + Record("AB12XY345678") + Record("ZZZZZZZZZZZZ")},
        {"fuzz_serial_receive/greeting-then-ack",
         Bytes(1, char(0x81)) + Chunk(Greeting()) + Chunk(Padded(Ack(0)))},
        {"fuzz_serial_receive/download-in-pieces", serialDownload},
        {"fuzz_serial_receive/version-read", state(4, 2) + Chunk(Padded(Value(2, 2, 300)))},
        {"fuzz_frame_splitter/mixed",
         Ack(0) + Bytes{1, 2, 3} + Value(1, 2, 3) + Greeting() + Block(0, archive) + "*"},
        {"fuzz_frame_splitter/no-end-byte", Bytes{0x2A, 0x07, 0, 0, 0, 0, 0, 0, 0, 0} + Ack(0)},
        {"fuzz_unpack/sample.zip", archive},
        {"fuzz_unpack/empty.zip", Bytes("PK\x05\x06", 4) + Bytes(18, '\0')},
        {"fuzz_package_check/marked", "Use Orbisto above v6.3.4\r\nAB12UX345678\r\nBDB0001\r\n"},
        {"fuzz_package_check/plain", "AB12XY345678\nBDB0001\n"},
        {"fuzz_package_check/hostile", "../../escape\n..\\..\\x\n"},
        {"fuzz_package_check/empty", ""},
    };
    for (const auto& [name, bytes] : seeds) {
        fs::create_directories((fs::path(argv[1]) / name).parent_path());
        testing::WriteBytes(fs::path(argv[1]) / name, bytes);
    }
    return 0;
}
