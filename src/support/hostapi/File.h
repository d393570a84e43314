// A file path with the questions one asks about it, and the file names of one folder.
//
// Paths are narrow strings, handed to the file system as they are (see support/Paths.h). In the
// name operations both "/" and "\" separate folders, on every platform, since package paths are
// written on Windows. Nothing here throws; failures show in the results.
#pragma once

#include <list>
#include <string>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TFile {
public:
    explicit TFile(const std::string& path);
    TFile(const TFile& other);
    TFile& operator=(const TFile& other);
    ~TFile();

    // Copies the file at from to to, replacing a file there. The copy is written beside to and
    // renamed over it at the end, so to is never left half written, a link at to is replaced
    // rather than written through, and copying a file onto itself leaves it as it was. False when
    // from is not a readable file or to cannot be written.
    static bool copy(const std::string& from, const std::string& to);
    // The text after the last dot of the name, without the dot: "ORI" for "dir/AB12.ORI". Empty
    // when the name has no dot, ends with one, or only starts with one (".profile").
    static std::string getExtension(const std::string& path);
    // The last component of the path: "AB12.ORI" for "C:\dir\AB12.ORI". Empty when the path ends
    // with a separator.
    static std::string getName(const std::string& path);
    // The size of the file in bytes; -1 when it is not a readable file or its size does not fit a
    // long (32 bits on Windows).
    static long length(const std::string& path);
    // Whether something exists at the path: a file, a folder, or a link to either.
    static bool exists(const std::string& path);

    // The operations above on the stored path.
    void copy(const std::string& dest);
    bool exists();
    bool isValid();  // the same as exists()
    std::string getExtension();
    std::string getName();
    long length();

    const std::string& getPath() const;

private:
    std::string path_;
};

// The names of the files in one folder that match a filter, read when the object is made.
class QUILLON_API TDirectory {
public:
    // An empty path: no folder and no names.
    TDirectory();
    // filter: "*" for any run of characters, "?" for one, other characters match themselves with
    // ASCII letters in either case, as on Windows. Empty, "*" and "*.*" take every file.
    TDirectory(const std::string& path, const std::string& filter);
    TDirectory(const TDirectory& other);
    TDirectory& operator=(const TDirectory& other);
    ~TDirectory();

    // Names only, not paths, in byte order. Files only: folders, links and devices are left out.
    const std::list<std::string>& getFileNames() const;

    // Reads the folder again. False when it cannot be read; the list is then empty.
    bool refresh();
    // Whether the folder could be read the last time.
    bool isValid() const;

    const std::string& getPath() const;
    const std::string& getFilter() const;

private:
    std::string path_;
    std::string filter_;
    std::list<std::string> fileNames_;
    bool valid_ = false;
};

}  // namespace libmarl
