// Unpacking an archive from a device: the fuzzer's bytes are the zip file. Whatever they hold,
// nothing may be written outside the unpacking folder, and a refused archive writes nothing.
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "FuzzScratch.h"
#include "archive/ComPression.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::Scratch scratch;
    scratch.Reset({"out"});
    const fuzz::fs::path zip = scratch.root() / "in.zip";
    {
        std::ofstream file(zip, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CComPression unpacker;
    unpacker.SetUnzipfilespath((scratch.root() / "out").string());
    const int result = unpacker.UnComPress(zip.string());
    scratch.ExpectOnly({"in.zip", "out"});
    std::error_code error;
    if (result != 0 && !fuzz::fs::is_empty(scratch.root() / "out", error))
        std::abort();  // a refused or damaged archive leaves the folder as it was
    return 0;
}
