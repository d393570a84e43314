// The settings path repair: CSysconfig_SET::RepairSETPath.

#include <optional>
#include <string>

#include "state/DescriptionFile.h"
#include "state/PackageFolder.h"
#include "state/Sysconfig_SET.h"
#include "support/base/Text.h"
#include "support/fs/DirectoryHandle.h"
#include "support/fs/Paths.h"

bool CSysconfig_SET::RepairSETPath(std::wstring root, std::wstring package)
{
    using namespace quillon;

    // Read only when it is the package's own file: a link there could show any file's first line.
    // Kept open until the copy is done, which opens it once more to copy it.
    const FilePtr description = DirectoryHandle::Open(package).OpenForReading(kDescriptionFileNameWide);
    if (!description)
        return false;
    const std::string serial = ReadDeviceSerial(description.get());
    if (serial.empty())
        return false;

    // The serial comes from a file and becomes a folder name: it must name a folder directly under
    // root, never one elsewhere ("..", "a/b", "C:x"), nor one that Windows would change, nor the
    // part of it before a byte that does not convert.
    const std::optional<std::wstring> folder = FolderNameFrom(serial);
    if (!folder)
        return false;
    const std::wstring& folderName = *folder;

    // A package already in place is left as it is, whatever has changed since.
    const std::wstring target = JoinPath(root, folderName);
    if (PathExists(target))
        return true;
    // Made and entered through the root's handle: a link put in the new folder's place meanwhile
    // would be refused, not followed.
    const DirectoryHandle rootFolder = DirectoryHandle::Open(root);
    if (!rootFolder.MakeFolder(folderName))
        return false;
    CopySETFolder(package, rootFolder.OpenFolder(folderName));
    return true;
}
