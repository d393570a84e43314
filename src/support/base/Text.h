// Text conversions between the narrow strings the device and the packages use and wide paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Widens narrow text written in the simplified-Chinese double-byte code page (936), the code page
// of the device's names and of package descriptions: single-byte characters and the code page's
// double-byte characters become the same wide characters on every platform. Conversion stops at
// the first NUL, at an invalid sequence or at a truncated double-byte character, and keeps what was
// converted before it; errors are not reported.
std::wstring NarrowToWide(const std::string& narrow);

// NarrowToWide, telling whether the conversion went through: false when an invalid sequence or a
// cut double-byte character stopped it before the first NUL. wide receives what NarrowToWide would
// return either way.
bool NarrowToWideChecked(const std::string& narrow, std::wstring& wide);

// The folder that a name from a device or a package (the device's name, a package's serial) stands
// for: the name up to its first zero byte (a device pads a short name with them), widened whole, as
// one plain path component that the platform keeps as written (see IsPlainPathComponent and
// IsReservedDeviceName). nullopt when the name cannot be such a folder.
std::optional<std::wstring> FolderNameFrom(std::string_view name);

}  // namespace quillon
