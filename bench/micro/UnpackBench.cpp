// Unpacking an archive: a few bytes in one entry and in a hundred show what every unpacking pays
// besides its entries' bytes (reading the archive's end and directory, planning, the renames into
// place); a megabyte in one entry is a download's archive, whose unpacking the last block waits for.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "BenchData.h"
#include "ScratchFolder.h"
#include "archive/ZipArchive.h"

namespace quillon::bench {
namespace {

namespace fs = std::filesystem;

// The files are made in memory where the system offers it: on this machine's disk the journal
// catching up with earlier rounds moves the figure by a factor of five.
fs::path FilesFolder()
{
    std::error_code error;
    const fs::path memory = "/dev/shm";
    return fs::is_directory(memory, error) ? memory : fs::temp_directory_path();
}

bool WriteFile(const fs::path& path, const Bytes& bytes)
{
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Arguments: the number of entries, the bytes of each.
void BM_UnpackArchive(benchmark::State& state)
{
    const ScratchFolder scratch(FilesFolder());
    const auto entries = static_cast<int>(state.range(0));
    const Bytes content = Noise(static_cast<std::size_t>(state.range(1)));
    const fs::path package = scratch.path() / "package";
    const fs::path unpacked = scratch.path() / "unpacked";
    const std::string archive = scratch.file("package.zip");
    std::error_code error;
    bool made = scratch.ok() && fs::create_directory(package, error) && fs::create_directory(unpacked, error);
    std::vector<std::string> names;
    for (int i = 0; made && i < entries; ++i) {
        names.push_back("entry" + std::to_string(i) + ".dat");
        made = WriteFile(package / names.back(), content);
    }
    if (!made || !PackFiles(package.string(), names, archive).ok) {
        state.SkipWithError("cannot make the archive");
        return;
    }
    bool unpackedAll = true;
    for (auto _ : state)
        unpackedAll &= UnpackArchive(archive, unpacked.string()).ok;
    if (!unpackedAll)
        state.SkipWithError("the archive did not unpack");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * entries);
}
BENCHMARK(BM_UnpackArchive)
    ->ArgNames({"entries", "bytes"})
    ->Args({1, 10})
    ->Args({100, 10})
    ->Args({1, 1 << 20})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillon::bench
