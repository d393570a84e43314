#include "archive/BrowseDir.h"

#include <utility>

CBrowseDir::CBrowseDir() = default;

CBrowseDir::CBrowseDir(const CBrowseDir& other)
    : CBrowseDirBase(other), FileCount(other.FileCount), SubdirCount(other.SubdirCount)
{}

CBrowseDir::CBrowseDir(CBrowseDir&& other) : CBrowseDir(static_cast<const CBrowseDir&>(other)) {}

CBrowseDir& CBrowseDir::operator=(const CBrowseDir& other)
{
    CBrowseDirBase::operator=(other);
    FileCount = other.FileCount;
    SubdirCount = other.SubdirCount;
    return *this;
}

CBrowseDir& CBrowseDir::operator=(CBrowseDir&& other)
{
    return *this = static_cast<const CBrowseDir&>(other);
}

CBrowseDir::~CBrowseDir() = default;

int CBrowseDir::GetFileCount() { return FileCount; }
int CBrowseDir::GetSubdirCount() { return SubdirCount; }

bool CBrowseDir::ProcessFile(std::string path)
{
    ++FileCount;
    return CBrowseDirBase::ProcessFile(std::move(path));
}

bool CBrowseDir::ProcessDir(std::string path, std::string parentPath)
{
    ++SubdirCount;
    CBrowseDirBase::ProcessDir(std::move(path), std::move(parentPath));
    return true;
}
