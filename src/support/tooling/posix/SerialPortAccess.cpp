#include "support/tooling/SerialPortAccess.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace quillon {

namespace {

std::string GroupName(gid_t group)
{
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 4096);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->gr_name;
}

}  // namespace

SerialPortAccess CheckSerialPortAccess(const std::string& path)
{
    using Problem = SerialPortAccess::Problem;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {Problem::Missing, {}};
        if (errno == EACCES)
            return {Problem::NoPermission, {}};
        return {Problem::Other, std::strerror(errno)};
    }
    // Serial ports and pseudo-terminals are character devices; a file or a folder never is.
    if (!S_ISCHR(status.st_mode))
        return {Problem::NotATerminal, {}};
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES || errno == EPERM)
            return {Problem::NoPermission, GroupName(status.st_gid)};
        return {Problem::Other, std::strerror(errno)};
    }
    return {};
}

}  // namespace quillon
