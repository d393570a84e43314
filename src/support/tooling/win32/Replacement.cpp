#include "support/tooling/Replacement.h"

namespace quillon {

// Windows has no exchange of two names; its rename frees the old file as it goes.
DisplacedFile RenameOver(const std::filesystem::path& from, const std::filesystem::path& to,
                         std::error_code& error)
{
    error.clear();
    std::filesystem::rename(from, to, error);
    return {};
}

}  // namespace quillon
