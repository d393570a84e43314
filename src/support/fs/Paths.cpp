#include "support/fs/Paths.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "support/fs/DirectoryHandle.h"

namespace quillon {

namespace {

// A fresh name that is taken was planted there by someone who saw an earlier one; when a few in a
// row are, the folder is contested and the creation fails rather than go on drawing.
constexpr int kFreshNameAttempts = 8;

// prefix, a part drawn at random once per process, a count, ".part". The random part keeps names
// apart from any other process's, one that died and left its files included; the count keeps this
// process's apart, so a new name needs no look at the names already on disk.
std::string FreshName(std::string_view prefix)
{
    static const std::uint64_t process = [] {
        std::uint64_t seed =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device device;
            seed ^= std::uint64_t{device()} << 32 | device();
        } catch (...) {
            // No random source: the clock alone, which still differs between processes.
        }
        return seed;
    }();
    static std::atomic<std::uint64_t> count{0};
    char part[48];
    std::snprintf(part, sizeof part, "%016llx-%llu.part", static_cast<unsigned long long>(process),
                  static_cast<unsigned long long>(count.fetch_add(1, std::memory_order_relaxed)));
    return std::string(prefix) + part;
}

// create makes the named file exclusively; exists tells whether a failure was a name clash.
template <typename Create, typename Exists>
FilePtr CreateUnderFreshName(std::string_view prefix, std::string& name, Create create, Exists exists)
{
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        name = FreshName(prefix);
        if (FilePtr file = create(name))
            return file;
        if (!exists(name))
            break;  // not a clash: the folder takes no new file
    }
    name.clear();
    return nullptr;
}

template <typename Char>
std::basic_string<Char> Join(std::basic_string_view<Char> folder, std::basic_string_view<Char> name,
                             bool nameMayHoldSeparators)
{
    const Char separator = static_cast<Char>(PathSeparator());
    std::basic_string<Char> path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder);
    path.push_back(separator);
    for (const Char c : name)
        path.push_back(nameMayHoldSeparators && IsNameSeparator(c) ? separator : c);
    return path;
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) { return Join(folder, name, false); }
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) { return Join(folder, name, false); }

std::string JoinRelativePath(std::string_view folder, std::string_view relative)
{
    return Join(folder, relative, true);
}

std::wstring JoinRelativePath(std::wstring_view folder, std::wstring_view relative)
{
    return Join(folder, relative, true);
}

std::vector<std::string_view> SplitRelativePath(std::string_view relative)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= relative.size(); ++i) {
        if (i == relative.size() || IsNameSeparator(relative[i])) {
            parts.push_back(relative.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

FilePtr CreateFileBeside(const std::string& path, std::string& created)
{
    return CreateUnderFreshName(
        path + '.', created, [](const std::string& name) { return OpenFile(name, FileMode::CreateNew); },
        [](const std::string& name) { return GetPathKind(name) != PathKind::Missing; });
}

FilePtr DirectoryHandle::CreateFreshFile(std::string_view prefix, std::string& name) const
{
    return CreateUnderFreshName(
        prefix, name, [this](const std::string& fresh) { return CreateNewFile(fresh); },
        [this](const std::string& fresh) { return KindOf(fresh) != PathKind::Missing; });
}

void FileCloser::operator()(std::FILE* file) const noexcept
{
    if (file)
        std::fclose(file);
}

bool CloseFile(FilePtr file)
{
    if (!file)
        return false;
    // An earlier write error is sticky on the stream; the close reports a failed final flush.
    const bool written = std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace quillon
