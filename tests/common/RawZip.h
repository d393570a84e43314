// Zip archives written byte by byte, for entries that no zip tool would make: raw names (absolute,
// "..", a zero byte, 1024 bytes long), wrong checksums, sizes that lie, flags and methods that the
// unpacker must refuse.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::testing {

struct RawEntry {
    RawEntry(std::string entryName, std::string entryData)
        : name(std::move(entryName)), data(std::move(entryData))
    {}

    std::string name;
    std::string data;                           // stored as it is
    std::uint16_t method = 0;                   // 0 stored; anything else is only recorded
    std::uint16_t flag = 0;                     // bit 0: encrypted
    std::optional<std::uint32_t> crc;           // instead of the data's own checksum
    std::optional<std::uint32_t> declaredSize;  // instead of the data's own length
};

inline void PutLittleEndian(std::string& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline std::string MakeRawZip(const std::vector<RawEntry>& entries)
{
    std::string archive;
    std::string directory;
    for (const RawEntry& entry : entries) {
        const auto offset = static_cast<std::uint32_t>(archive.size());
        const std::uint32_t crc = entry.crc.value_or(static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size()))));
        const auto compressed = static_cast<std::uint32_t>(entry.data.size());
        const std::uint32_t size = entry.declaredSize.value_or(compressed);
        const auto nameLength = static_cast<std::uint32_t>(entry.name.size());

        // The fields that the local header and the folder's entry share, from "version needed" on.
        std::string fields;
        PutLittleEndian(fields, 20, 2);  // version needed
        PutLittleEndian(fields, entry.flag, 2);
        PutLittleEndian(fields, entry.method, 2);
        PutLittleEndian(fields, 0x210000, 4);  // 1980-01-01 00:00
        PutLittleEndian(fields, crc, 4);
        PutLittleEndian(fields, compressed, 4);
        PutLittleEndian(fields, size, 4);
        PutLittleEndian(fields, nameLength, 2);
        PutLittleEndian(fields, 0, 2);  // extra field

        PutLittleEndian(archive, 0x04034b50, 4);
        archive += fields + entry.name + entry.data;

        PutLittleEndian(directory, 0x02014b50, 4);
        PutLittleEndian(directory, 20, 2);  // version made by
        directory += fields;
        directory.append(10, '\0');  // comment, disk, internal and external attributes
        PutLittleEndian(directory, offset, 4);
        directory += entry.name;
    }
    const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    PutLittleEndian(archive, 0x06054b50, 4);
    PutLittleEndian(archive, 0, 4);  // disks
    PutLittleEndian(archive, static_cast<std::uint32_t>(entries.size()), 2);
    PutLittleEndian(archive, static_cast<std::uint32_t>(entries.size()), 2);
    PutLittleEndian(archive, static_cast<std::uint32_t>(directory.size()), 4);
    PutLittleEndian(archive, directoryOffset, 4);
    PutLittleEndian(archive, 0, 2);  // comment
    return archive;
}

}  // namespace quillon::testing
