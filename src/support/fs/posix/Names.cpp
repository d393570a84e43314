#include "support/fs/Names.h"

namespace quillon {

// Only Windows reserves names of its own.
bool IsReservedDeviceName(std::string_view) { return false; }
bool IsReservedDeviceName(std::wstring_view) { return false; }

}  // namespace quillon
