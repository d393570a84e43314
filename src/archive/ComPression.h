// Packs a settings package into a zip archive and unpacks the device's archive into a folder.
#pragma once

#include <string>
#include <vector>

#include "support/base/Export.h"

class QUILLON_API CComPression {
public:
    // Both folders start empty; until they are set, nothing is read or written through them.
    CComPression();
    CComPression(const CComPression& other);
    CComPression& operator=(const CComPression& other);
    ~CComPression();

    // The folder that ComPress reads the listed files from.
    void Setzipfilespath(std::string dir);
    // The folder that UnComPress writes the entries into.
    void SetUnzipfilespath(std::string dir);

    // Creates a new archive at zipPath (replacing a file of that name) and deflates the named files
    // of the packing folder into it, in list order, each under its name exactly as given. Returns
    // 0, or -1 at the first name that cannot be packed: a missing or unreadable file, a file of
    // 2 GiB or more, a link or a name that goes through one (a link could lead out of the package,
    // and what is packed goes to the device), or a name that UnComPress would refuse (see below);
    // the archive then holds the entries before it. An empty list gives a valid archive without entries.
    // Entries record their files' modification times.
    int ComPress(std::vector<std::string> files, std::string zipPath);

    // Writes every entry of the archive at zipPath into the unpacking folder, replacing files of
    // the same names. Returns 0, or -1 when the archive cannot be read, is damaged (an entry's
    // checksum or size does not match) or is refused. "/" and "\" both separate folders in entry
    // names; folders are never created, so an entry below a folder needs that folder to exist.
    // An archive is refused, before anything is written, when an entry's name is empty, longer
    // than 1023 bytes, absolute ("/x", "\x", "C:x", "\\server\share\x"), holds ":" or a control
    // character, has a ".." (or other dots-only) part, ends in a separator, needs a folder that
    // does not exist or is a link, or lands where a folder stands; and when it would write more than
    // 10,000 entries or 256 MiB, so that an archive that inflates to gigabytes cannot fill the
    // disk. Entries are written to temporary files first and put in place only when every entry
    // has checked out, so a refused or damaged archive leaves the unpacking folder as it was.
    int UnComPress(std::string zipPath);

private:
    std::string PackingFolder;
    std::string UnpackingFolder;
};
