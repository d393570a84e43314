// The archives the benchmark moves: zip archives that store (not deflate) one file of noise, so
// that the archive is as incompressible as the payload and unpacks like any settings archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quillon::bench {

// What a stored zip of one entry adds to its payload: local header, central directory, end record.
std::uint64_t StoredZipOverhead(const std::string& entryName);

// Writes an archive of exactly totalSize bytes at path whose one entry holds noise from seed.
// Empty on success, otherwise why not.
std::string WriteNoiseZip(const std::filesystem::path& path, std::uint64_t totalSize, std::uint64_t seed);

// Whether two files hold the same bytes.
bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace quillon::bench
