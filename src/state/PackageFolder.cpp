#include "state/PackageFolder.h"

#include <array>
#include <cstdio>
#include <utility>

#include "support/base/Diagnostics.h"
#include "support/fs/Paths.h"

namespace quillon {

namespace {

// Copies the whole stream; false when a read or a write failed on the way.
bool CopyContent(std::FILE* from, std::FILE* to)
{
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), from);
        if (got > 0 && std::fwrite(buffer.data(), 1, got, to) != got)
            return false;
        if (got < buffer.size())
            return std::ferror(from) == 0;
    }
}

}  // namespace

void CopySETFolder(const std::wstring& source, const DirectoryHandle& destination)
{
    if (source.find(L'/') == std::wstring::npos) {
        diag::Line("src path error");
        return;
    }
    std::vector<std::wstring> names;
    if (!GetFolderFiles(source, names))
        return;
    if (names.empty()) {
        diag::Line("src dir is empty");
        return;
    }
    CopyFolderFiles(names, source, destination);
}

bool GetFolderFiles(const std::wstring& folder, std::vector<std::wstring>& names)
{
    return ListDirectory(folder, names);
}

void CopyFolderFiles(const std::vector<std::wstring>& names, const std::wstring& source,
                     const DirectoryHandle& destination)
{
    const DirectoryHandle from = DirectoryHandle::Open(source);
    for (const std::wstring& name : names) {
        if (from.KindOf(name) == PathKind::Link) {
            diag::Line("src file is a link, not copied: " + NarrowPath(name));
            continue;
        }
        // Not followed either, should the file have become a link since.
        const FilePtr in = from.OpenForReading(name);
        if (!in)
            continue;
        std::string temporary;
        FilePtr out = destination.CreateFreshFile(kTemporaryPrefix, temporary);
        if (!out)
            continue;
        const bool copied = CopyContent(in.get(), out.get());
        if (!(CloseFile(std::move(out)) && copied && destination.Rename(temporary, name)))
            destination.Remove(temporary);
    }
}

}  // namespace quillon
