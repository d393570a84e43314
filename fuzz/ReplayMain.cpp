// Without libFuzzer, a fuzz target runs as a plain program that feeds it every file it is given,
// or every file in the folders it is given: the corpus replayed as a regression test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "common/ScratchFolder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!fs::exists(argv[i], error)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        if (!fs::is_directory(argv[i], error))
            inputs.emplace_back(argv[i]);
        for (const auto& entry : fs::recursive_directory_iterator(argv[i], error))
            if (entry.is_regular_file(error))
                inputs.push_back(entry.path());
    }
    for (const fs::path& input : inputs) {
        const std::string bytes = quillon::testing::ReadBytes(input);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replayed %d inputs\n", static_cast<int>(inputs.size()));
    return inputs.empty() ? 1 : 0;
}
