// Unpacking an archive from a device: the fuzzer's bytes are the zip file. Whatever they hold,
// nothing may be written outside the unpacking folder, and a refused archive writes nothing. The
// same bytes arriving as a download's blocks, their stored entries written out as they come, must
// unpack to the same files or be refused alike.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "archive/ComPression.h"
#include "archive/EntryStream.h"
#include "archive/ZipArchive.h"

using namespace quillon;

namespace {

// Every file and folder below root, with a file's content.
std::map<std::string, std::string> Tree(const fuzz::fs::path& root)
{
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (auto it = fuzz::fs::recursive_directory_iterator(root, error);
         !error && it != fuzz::fs::recursive_directory_iterator(); it.increment(error))
        tree[it->path().lexically_relative(root).generic_string()] =
            it->is_regular_file(error) ? "file:" + testing::ReadBytes(it->path()) : "other";
    return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::Scratch scratch;
    scratch.Reset({"out", "streamed"});
    testing::WriteBytes(scratch.path() / "in.zip", {reinterpret_cast<const char*>(data), size});
    CComPression unpacker;
    unpacker.SetUnzipfilespath(scratch.str("out"));
    const int result = unpacker.UnComPress(scratch.str("in.zip"));
    bool streamedOk = false;
    {
        EntryStream stream(scratch.str("streamed"));
        for (std::size_t at = 0; at < size; at += kBlockDataSize)
            stream.Append(data + at, std::min<std::size_t>(kBlockDataSize, size - at));
        streamedOk = UnpackStreamedArchive(scratch.str("in.zip"), stream).ok;
    }
    scratch.ExpectOnly({"in.zip", "out", "streamed"});
    std::error_code error;
    if (result != 0 && !fuzz::fs::is_empty(scratch.path() / "out", error))
        std::abort();  // a refused or damaged archive leaves the folder as it was
    if (streamedOk != (result == 0) || Tree(scratch.path() / "out") != Tree(scratch.path() / "streamed"))
        std::abort();  // streamed, the archive unpacks as it does whole
    return 0;
}
