#include "support/Paths.h"

#include <type_traits>

namespace quillon {

namespace {

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

template <typename Char>
bool IsPlainComponent(std::basic_string_view<Char> name)
{
    bool onlyDotsAndBlanks = true;
    for (const Char c : name) {
        // Unsigned, so that a narrow byte above 0x7F is not taken for a control character.
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        bool control = code < 0x20 || code == 0x7F;
        if constexpr (sizeof(Char) > 1)
            control = control || (code >= 0x80 && code <= 0x9F);  // narrow, these bytes start double-byte characters
        if (control || IsNameSeparator(c) || c == Char(':'))
            return false;
        if (c != Char('.') && c != Char(' '))
            onlyDotsAndBlanks = false;
    }
    return !name.empty() && !onlyDotsAndBlanks;
}

}  // namespace

bool IsPlainPathComponent(std::string_view name) { return IsPlainComponent(name); }
bool IsPlainPathComponent(std::wstring_view name) { return IsPlainComponent(name); }

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
