#include "support/hostapi/File.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "support/fs/Paths.h"
#include "support/fs/Wildcard.h"

namespace libmarl {

namespace {

std::string_view LastComponent(std::string_view path)
{
    for (std::size_t i = path.size(); i > 0; --i) {
        if (quillon::IsNameSeparator(path[i - 1]))
            return path.substr(i);
    }
    return path;
}

bool CopyContents(std::FILE* from, std::FILE* to)
{
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), from);
        if (count > 0 && std::fwrite(buffer.data(), 1, count, to) != count)
            return false;
        if (count < buffer.size())
            return std::ferror(from) == 0;
    }
}

}  // namespace

TFile::TFile(const std::string& path) : path_(path) {}
TFile::TFile(const TFile& other) = default;
TFile& TFile::operator=(const TFile& other) = default;
TFile::~TFile() = default;

bool TFile::copy(const std::string& from, const std::string& to)
{
    quillon::FilePtr source = quillon::OpenFile(from, quillon::FileMode::Read);
    if (!source)
        return false;
    std::string part;
    quillon::FilePtr target = quillon::CreateFileBeside(to, part);
    if (!target)
        return false;
    const bool copied = CopyContents(source.get(), target.get());
    const bool written = quillon::CloseFile(std::move(target));
    // Windows refuses to rename over a file that is open, which the source is when it is the target.
    source.reset();
    if (copied && written && quillon::RenameReplacing(part, to))
        return true;
    quillon::RemoveFile(part);
    return false;
}

std::string TFile::getExtension(const std::string& path)
{
    const std::string_view name = LastComponent(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return std::string(name.substr(dot + 1));
}

std::string TFile::getName(const std::string& path) { return std::string(LastComponent(path)); }

long TFile::length(const std::string& path)
{
    quillon::FilePtr file = quillon::OpenFile(path, quillon::FileMode::Read);
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0)
        return -1;
    // ftell fails, rather than wrapping, for a size that does not fit a long.
    return std::ftell(file.get());
}

bool TFile::exists(const std::string& path) { return quillon::PathExists(path); }

void TFile::copy(const std::string& dest) { copy(path_, dest); }
bool TFile::exists() { return exists(path_); }
bool TFile::isValid() { return exists(path_); }
std::string TFile::getExtension() { return getExtension(path_); }
std::string TFile::getName() { return getName(path_); }
long TFile::length() { return length(path_); }
const std::string& TFile::getPath() const { return path_; }

TDirectory::TDirectory() : TDirectory(std::string(), std::string()) {}

TDirectory::TDirectory(const std::string& path, const std::string& filter) : path_(path), filter_(filter)
{
    refresh();
}

TDirectory::TDirectory(const TDirectory& other) = default;
TDirectory& TDirectory::operator=(const TDirectory& other) = default;
TDirectory::~TDirectory() = default;

const std::list<std::string>& TDirectory::getFileNames() const { return fileNames_; }

bool TDirectory::refresh()
{
    fileNames_.clear();
    valid_ = false;
    std::vector<std::string> names;
    if (path_.empty() || !quillon::ListDirectory(path_, names))
        return false;
    for (const auto& name : names) {
        if (quillon::WildcardMatch(filter_, name) &&
            quillon::GetPathKind(quillon::JoinPath(path_, name)) == quillon::PathKind::File)
            fileNames_.push_back(name);
    }
    fileNames_.sort();
    valid_ = true;
    return true;
}

bool TDirectory::isValid() const { return valid_; }
const std::string& TDirectory::getPath() const { return path_; }
const std::string& TDirectory::getFilter() const { return filter_; }

}  // namespace libmarl
