#include "support/base/Text.h"

#include "support/fs/Names.h"

namespace quillon {

std::wstring NarrowToWide(const std::string& narrow)
{
    std::wstring wide;
    NarrowToWideChecked(narrow, wide);  // a conversion that stopped keeps what came before
    return wide;
}

std::optional<std::wstring> FolderNameFrom(std::string_view name)
{
    // Checked after widening, not before: a conversion that stopped early would name another
    // folder than the device's ("..\x81 AAAAAAAA" would end as "..", "\xFF..." as the folder itself).
    std::wstring wide;
    if (!NarrowToWideChecked(std::string(name.substr(0, name.find('\0'))), wide))
        return std::nullopt;
    if (!IsPlainPathComponent(wide) || IsReservedDeviceName(wide))
        return std::nullopt;
    return wide;
}

}  // namespace quillon
