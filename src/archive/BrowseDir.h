// A folder walk that counts what it visits.
#pragma once

#include <string>

#include "support/base/Export.h"
#include "support/fs/BrowseDirBase.h"

class QUILLON_API CBrowseDir : public CBrowseDirBase {
public:
    CBrowseDir();
    CBrowseDir(const CBrowseDir& other);
    CBrowseDir(CBrowseDir&& other);
    CBrowseDir& operator=(const CBrowseDir& other);
    CBrowseDir& operator=(CBrowseDir&& other);
    ~CBrowseDir();

    // Counts since construction or assignment; a second walk adds to them.
    int GetFileCount();
    int GetSubdirCount();

protected:
    bool ProcessFile(std::string path) override;
    // Counted, and the walk goes on, whatever the base says about the folder.
    bool ProcessDir(std::string path, std::string parentPath) override;

private:
    int FileCount = 0;
    int SubdirCount = 0;
};
