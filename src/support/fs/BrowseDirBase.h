// A folder walk that calls one operation for each file and one for each folder it visits, for
// classes that count or collect what is on disk.
#pragma once

#include <string>

#include "support/base/Export.h"

class QUILLON_API CBrowseDirBase {
public:
    static constexpr int kPathCapacity = 260;  // both buffers hold a name and its terminating zero

    CBrowseDirBase();
    CBrowseDirBase(const CBrowseDirBase&) = default;
    CBrowseDirBase& operator=(const CBrowseDirBase&) = default;
    ~CBrowseDirBase();

    // The folder the walk starts in. False, and the walk will not run, when dir is not an existing
    // folder or its name does not fit the buffer.
    bool SetInitDir(const char* dir);

    // Walks the folder set by SetInitDir and every folder below it, depth first, entries in name
    // order. For each file whose name matches pattern ("*" and "?" wildcards, ASCII letters in
    // either case, "*.*" or "*" for all) calls ProcessFile with the file's path; after a folder's
    // entries, calls ProcessDir with the folder's path and its parent's path (empty for the initial
    // folder). Links are not followed and only regular files count as files. Returns false when
    // the walk cannot start, a folder cannot be read or ProcessFile asks to stop, true when the
    // whole tree was visited.
    bool BeginBrowse(const char* pattern);

protected:
    // ProcessFile returns false to stop the walk. ProcessDir comes once the folder's entries are
    // done, when nothing of it is left to skip, so the walk goes on whatever it returns. The base
    // versions only say "go on".
    virtual bool ProcessFile(std::string path);
    virtual bool ProcessDir(std::string path, std::string parentPath);

    char InitialDir[kPathCapacity];   // the folder set by SetInitDir
    char FilePattern[kPathCapacity];  // the pattern of the walk under way
};
