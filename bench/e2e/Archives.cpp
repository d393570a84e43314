#include "Archives.h"

#include <zlib.h>

#include <array>
#include <fstream>
#include <random>
#include <vector>

namespace quillon::bench {

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kEndRecord = 0x06054b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
// Noise is made and written in pieces of this size, so memory stays flat for any archive.
constexpr std::size_t kPiece = 1 << 20;

class Bytes {
public:
    void U16(unsigned v)
    {
        bytes_.push_back(static_cast<char>(v)), bytes_.push_back(static_cast<char>(v >> 8));
    }
    void U32(std::uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
    void Text(const std::string& s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
    const std::vector<char>& data() const { return bytes_; }

private:
    std::vector<char> bytes_;
};

// The fields local and central headers share, from "version needed" to the name's length.
void CommonFields(Bytes& out, std::uint32_t crc, std::uint32_t size, const std::string& name)
{
    out.U16(10);    // version needed: stored
    out.U16(0);     // flags
    out.U16(0);     // method: stored
    out.U16(0);     // time
    out.U16(0x21);  // date: 1980-01-01
    out.U32(crc);
    out.U32(size);  // compressed
    out.U32(size);  // uncompressed
    out.U16(static_cast<unsigned>(name.size()));
    out.U16(0);  // extra field
}

void FillNoise(std::mt19937_64& noise, std::vector<unsigned char>& piece)
{
    for (std::size_t i = 0; i + 8 <= piece.size(); i += 8) {
        const std::uint64_t word = noise();
        for (int b = 0; b < 8; ++b)
            piece[i + static_cast<std::size_t>(b)] = static_cast<unsigned char>(word >> (8 * b));
    }
}

const std::string kEntry = "noise.bin";

}  // namespace

std::uint64_t StoredZipOverhead(const std::string& entryName)
{
    return kLocalSize + kCentralSize + kEndSize + 2 * entryName.size();
}

std::string WriteNoiseZip(const std::filesystem::path& path, std::uint64_t totalSize, std::uint64_t seed)
{
    const std::uint64_t overhead = StoredZipOverhead(kEntry);
    if (totalSize < overhead || totalSize - overhead > 0xFFFFFFFFull)
        return "an archive of " + std::to_string(totalSize) + " bytes cannot be made";
    const auto payload = static_cast<std::uint32_t>(totalSize - overhead);

    // The CRC comes first: the local header that needs it precedes the data.
    std::mt19937_64 noise(seed);
    std::vector<unsigned char> piece(kPiece);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::uint64_t left = payload; left > 0;) {
        const auto n = static_cast<uInt>(std::min<std::uint64_t>(left, piece.size()));
        FillNoise(noise, piece);
        crc = crc32(crc, piece.data(), n);
        left -= n;
    }

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Bytes local;
    local.U32(kLocalHeader);
    CommonFields(local, static_cast<std::uint32_t>(crc), payload, kEntry);
    local.Text(kEntry);
    out.write(local.data().data(), static_cast<std::streamsize>(local.data().size()));

    noise.seed(seed);
    for (std::uint64_t left = payload; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
        FillNoise(noise, piece);
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(n));
        left -= n;
    }

    Bytes tail;
    tail.U32(kCentralHeader);
    tail.U16(20);  // made by
    CommonFields(tail, static_cast<std::uint32_t>(crc), payload, kEntry);
    tail.U16(0);  // comment
    tail.U16(0);  // disk
    tail.U16(0);  // internal attributes
    tail.U32(0);  // external attributes
    tail.U32(0);  // local header offset
    tail.Text(kEntry);
    const auto centralOffset = static_cast<std::uint32_t>(local.data().size() + payload);
    tail.U32(kEndRecord);
    tail.U16(0), tail.U16(0), tail.U16(1), tail.U16(1);
    tail.U32(static_cast<std::uint32_t>(kCentralSize + kEntry.size()));
    tail.U32(centralOffset);
    tail.U16(0);
    out.write(tail.data().data(), static_cast<std::streamsize>(tail.data().size()));
    out.close();
    if (!out)
        return "cannot write " + path.string();
    return {};
}

bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::error_code error;
    if (std::filesystem::file_size(a, error) != std::filesystem::file_size(b, error) || error)
        return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(kPiece), q(kPiece);
    while (x && y) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
            return false;
    }
    return true;
}

}  // namespace quillon::bench
