// Copying a settings package's files from one folder into another, for the path repair.
#pragma once

#include <string>
#include <vector>

#include "support/fs/DirectoryHandle.h"

namespace quillon {

// Copies the files directly inside source into the destination folder; folders are neither copied
// nor entered. Copies nothing, and writes "src path error", when source has no "/" in it (a
// backslash does not count): the host tools name package folders with forward slashes, and a path
// without one is taken for a mistake. Writes "src dir is empty" when source holds nothing, and
// stops silently when it cannot be listed.
void CopySETFolder(const std::wstring& source, const DirectoryHandle& destination);

// Appends the names (not paths) of the folder's entries, files and folders alike, without "." and
// "..". False when the folder cannot be listed.
bool GetFolderFiles(const std::wstring& folder, std::vector<std::wstring>& names);

// Copies each named file of source into destination byte for byte, replacing a file there. A link
// is skipped with a diagnostic line ("src file is a link, not copied: NAME"): it could lead out of
// the package. So is, silently, a name that cannot be opened (a folder, a locked file) or created
// in destination, and one whose copy fails part-way. Each copy is written under a fresh name and
// renamed over its file's name when complete, so that a link there is replaced, never written
// through, and no incomplete copy is left to look whole.
void CopyFolderFiles(const std::vector<std::wstring>& names, const std::wstring& source,
                     const DirectoryHandle& destination);

}  // namespace quillon
