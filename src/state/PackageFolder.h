// Copying a settings package's files from one folder into another, for the path repair.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// Copies the files directly inside source into destination; folders are neither copied nor
// entered. Copies nothing, and writes "src path error", when source has no "/" in it (a backslash
// does not count): the host tools name package folders with forward slashes, and a path without
// one is taken for a mistake. Writes "src dir is empty" when source holds nothing, and stops
// silently when it cannot be listed.
void CopySETFolder(const std::wstring& source, const std::wstring& destination);

// Appends the names (not paths) of the folder's entries, files and folders alike, without "." and
// "..". False when the folder cannot be listed.
bool GetFolderFiles(const std::wstring& folder, std::vector<std::wstring>& names);

// Copies each named file of source into destination byte for byte, replacing a file there. A name
// that cannot be opened (a folder, a locked file) or created in destination is skipped, and so is
// one whose copy fails part-way: its incomplete copy is removed rather than left to look whole.
void CopyFolderFiles(const std::vector<std::wstring>& names, const std::wstring& source,
                     const std::wstring& destination);

}  // namespace quillon
