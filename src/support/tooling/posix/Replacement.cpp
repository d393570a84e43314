#include "support/tooling/Replacement.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

namespace quillon {

DisplacedFile RenameOver(const std::filesystem::path& from, const std::filesystem::path& to,
                         std::error_code& error)
{
    error.clear();
#if defined(RENAME_EXCHANGE)
    // Only a plain file is exchanged; anything else there (a folder, a link) is the rename's to
    // judge, as is a system or file system that cannot exchange names.
    struct stat there {};
    if (::lstat(to.c_str(), &there) == 0 && S_ISREG(there.st_mode) &&
        ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0)
        return DisplacedFile(from);
#endif
    std::filesystem::rename(from, to, error);
    return {};
}

}  // namespace quillon
