// Unpacking an archive from a device: the fuzzer's bytes are the zip file. Whatever they hold,
// nothing may be written outside the unpacking folder, and a refused archive writes nothing.
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "archive/ComPression.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::Scratch scratch;
    scratch.Reset({"out"});
    testing::WriteBytes(scratch.path() / "in.zip", {reinterpret_cast<const char*>(data), size});
    CComPression unpacker;
    unpacker.SetUnzipfilespath(scratch.str("out"));
    const int result = unpacker.UnComPress(scratch.str("in.zip"));
    scratch.ExpectOnly({"in.zip", "out"});
    std::error_code error;
    if (result != 0 && !fuzz::fs::is_empty(scratch.path() / "out", error))
        std::abort();  // a refused or damaged archive leaves the folder as it was
    return 0;
}
