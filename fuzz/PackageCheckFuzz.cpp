// The settings package check and the path repair on a fuzzed description file: the report holds
// only its own lines, and the repair creates nothing but one plain folder under its root.
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "state/Sysconfig_SET.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::Scratch scratch;
    static bool silenced = (fuzz::SilenceDiagnostics(), true);
    (void)silenced;
    scratch.Reset({"package", "root"});
    const fuzz::fs::path package = scratch.path() / "package";
    testing::WriteBytes(package / "DeviceSet.DST", {reinterpret_cast<const char*>(data), size});
    auto* registry = CSysconfig_SET::get();
    registry->CheckSETExist(package.string());
    registry->RepairSETPath((scratch.path() / "root").wstring(), package.wstring());

    scratch.ExpectOnly({"package", "root"});
    std::error_code error;
    int created = 0;
    for (const auto& entry : fuzz::fs::directory_iterator(scratch.path() / "root", error)) {
        if (!entry.is_directory(error) || entry.is_symlink(error) || ++created > 1)
            std::abort();
    }
    return 0;
}
