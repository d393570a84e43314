#include "state/PackageFolder.h"

#include <array>
#include <cstdio>
#include <utility>

#include "support/Diagnostics.h"
#include "support/Paths.h"

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

void CopySETFolder(const std::wstring& source, const std::wstring& destination)
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
                     const std::wstring& destination)
{
    for (const std::wstring& name : names) {
        const FilePtr from = OpenFile(JoinPath(source, name), FileMode::Read);
        if (!from)
            continue;
        const std::wstring target = JoinPath(destination, name);
        FilePtr to = OpenFile(target, FileMode::Write);
        if (!to)
            continue;
        const bool copied = CopyContent(from.get(), to.get());
        if (!CloseFile(std::move(to)) || !copied)
            RemoveFile(target);
    }
}

}  // namespace quillon
