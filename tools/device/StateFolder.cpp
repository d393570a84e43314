#include "StateFolder.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <sstream>
#include <system_error>

#include "protocol/DeviceRecord.h"

namespace quillon::sim {

namespace {

constexpr const char* kVersionsFile = "versions.txt";
constexpr const char* kRecordFile = "device-record.txt";
constexpr const char* kTemporarySuffix = ".part";
// Text files the device wrote itself are small; anything bigger was not written by it.
constexpr std::uint64_t kMaxTextFile = 64 * 1024;

std::string Describe(const std::error_code& error) { return error.message(); }

// Writes the text under a temporary name and renames it over the file, so a reader never sees half.
std::string ReplaceFile(const fs::path& path, const std::string& text)
{
    const fs::path temporary = path.string() + kTemporarySuffix;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            return "cannot write " + temporary.string();
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return "cannot replace " + path.string() + ": " + Describe(error);
    }
    return {};
}

std::optional<std::string> ReadText(const fs::path& path, std::string* problem)
{
    std::error_code error;
    if (!fs::exists(path, error))
        return std::nullopt;
    std::string why;
    const auto bytes = ReadWholeFile(path, kMaxTextFile, why);
    if (!why.empty()) {
        if (problem)
            *problem = why;
        return std::nullopt;
    }
    return std::string(bytes.begin(), bytes.end());
}

std::optional<long long> ParseNumber(std::string_view text)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string Trim(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// "kind <k>: <version>" lines; anything else is skipped.
std::map<int, std::int32_t> ParseVersions(const std::string& text)
{
    std::map<int, std::int32_t> versions;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        constexpr std::string_view kPrefix = "kind ";
        const auto colon = line.find(':');
        if (line.rfind(kPrefix, 0) != 0 || colon == std::string::npos)
            continue;
        const auto kind = ParseNumber(Trim(line.substr(kPrefix.size(), colon - kPrefix.size())));
        const auto version = ParseNumber(Trim(line.substr(colon + 1)));
        if (kind && version && *kind >= 0 && *kind <= 255 && *version >= INT32_MIN && *version <= INT32_MAX)
            versions[static_cast<int>(*kind)] = static_cast<std::int32_t>(*version);
    }
    return versions;
}

}  // namespace

std::vector<std::uint8_t> ReadWholeFile(const fs::path& path, std::uint64_t limit, std::string& error)
{
    auto file = FileReader::Open(path, limit, error);
    if (!file)
        return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file->size()));
    if (!file->ReadNext(bytes.data(), bytes.size())) {
        error = "cannot read " + path.string();
        return {};
    }
    return bytes;
}

FileReader::FileReader(fs::path path, std::uint64_t size)
    : path_(std::move(path)), size_(size), in_(path_, std::ios::binary)
{}

std::optional<FileReader> FileReader::Open(const fs::path& path, std::uint64_t limit, std::string& error)
{
    error.clear();
    std::error_code code;
    if (!fs::is_regular_file(path, code)) {
        error = path.string() + " is not a file";
        return std::nullopt;
    }
    const auto size = fs::file_size(path, code);
    if (code) {
        error = "cannot size " + path.string() + ": " + Describe(code);
        return std::nullopt;
    }
    if (size > limit) {
        error = path.string() + " holds " + std::to_string(size) + " bytes, more than the " +
                std::to_string(limit) + " the device can take";
        return std::nullopt;
    }
    FileReader file(path, size);
    if (!file.in_) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    return file;
}

bool FileReader::ReadNext(std::uint8_t* into, std::size_t count)
{
    return static_cast<bool>(in_.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count)));
}

std::string EscapeName(const std::string& name)
{
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

std::optional<std::string> UnescapeName(const std::string& text)
{
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            name += '\\';
            ++i;
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x')
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16);
        if (error != std::errc() || end != text.data() + i + 4)
            return std::nullopt;
        name += static_cast<char>(value);
        i += 3;
    }
    return name;
}

std::string FormatUtc(std::chrono::sys_seconds moment)
{
    using namespace std::chrono;
    const auto day = floor<days>(moment);
    const year_month_day date{day};
    const hh_mm_ss time{moment - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long long>(time.hours().count()),
                  static_cast<long long>(time.minutes().count()),
                  static_cast<long long>(time.seconds().count()));
    return text;
}

std::optional<std::chrono::sys_seconds> ParseUtc(const std::string& text)
{
    using namespace std::chrono;
    int y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char zone[4] = {};
    if (std::sscanf(text.c_str(), "%d-%u-%u %u:%u:%u %3s", &y, &mo, &d, &h, &mi, &s, zone) != 7 ||
        std::string(zone) != "UTC")
        return std::nullopt;
    const year_month_day date{year{y}, month{mo}, day{d}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    return sys_days{date} + hours{h} + minutes{mi} + seconds{s};
}

StateFolder::StateFolder(fs::path root) : root_(std::move(root)) {}

std::string StateFolder::Prepare()
{
    std::error_code error;
    fs::create_directories(root_, error);
    if (error || !fs::is_directory(root_, error))
        return "cannot use " + root_.string() + " as the state folder" +
               (error ? ": " + Describe(error) : "");
    return {};
}

fs::path StateFolder::UploadPath(std::uint8_t kind) const
{
    return root_ / ("kind-" + std::to_string(kind) + ".zip");
}

StateFolder::Upload::Upload(fs::path temporary, fs::path final)
    : temporary_(std::move(temporary)), final_(std::move(final)),
      out_(temporary_, std::ios::binary | std::ios::trunc)
{}

StateFolder::Upload::~Upload()
{
    if (committed_)
        return;
    out_.close();
    std::error_code ignored;
    fs::remove(temporary_, ignored);
}

bool StateFolder::Upload::Write(const std::uint8_t* data, std::size_t size)
{
    out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out_);
}

std::string StateFolder::Upload::Commit()
{
    out_.close();
    if (!out_)
        return "cannot write " + temporary_.string();
    std::error_code error;
    displaced_ = RenameOver(temporary_, final_, error);
    if (error)
        return "cannot put " + final_.string() + " into place: " + Describe(error);
    committed_ = true;
    return {};
}

std::unique_ptr<StateFolder::Upload> StateFolder::BeginUpload(std::uint8_t kind, std::string& error)
{
    const fs::path final = UploadPath(kind);
    std::unique_ptr<Upload> upload(new Upload(final.string() + kTemporarySuffix, final));
    if (!upload->out_) {
        error = "cannot create " + upload->temporary_.string();
        return nullptr;
    }
    return upload;
}

std::optional<fs::path> StateFolder::DownloadSource(std::uint8_t kind, const fs::path& fallback) const
{
    std::error_code error;
    const fs::path uploaded = UploadPath(kind);
    if (fs::is_regular_file(uploaded, error))
        return uploaded;
    if (!fallback.empty() && fs::is_regular_file(fallback, error))
        return fallback;
    return std::nullopt;
}

std::int32_t StateFolder::Version(std::uint8_t kind) const
{
    const auto text = ReadText(root_ / kVersionsFile, nullptr);
    if (!text)
        return 0;
    const auto versions = ParseVersions(*text);
    const auto found = versions.find(kind);
    return found == versions.end() ? 0 : found->second;
}

std::string StateFolder::SetVersion(std::uint8_t kind, std::int32_t version)
{
    std::map<int, std::int32_t> versions;
    if (const auto text = ReadText(root_ / kVersionsFile, nullptr))
        versions = ParseVersions(*text);
    versions[kind] = version;
    std::string text;
    for (const auto& [k, v] : versions)
        text += "kind " + std::to_string(k) + ": " + std::to_string(v) + "\n";
    return ReplaceFile(root_ / kVersionsFile, text);
}

std::optional<StoredRecord> StateFolder::Record(std::string* problem) const
{
    const auto text = ReadText(root_ / kRecordFile, problem);
    if (!text)
        return std::nullopt;
    std::optional<std::string> name;
    std::optional<std::chrono::sys_seconds> written;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("name: ", 0) == 0)
            name = UnescapeName(line.substr(6));
        else if (line.rfind("written: ", 0) == 0)
            written = ParseUtc(line.substr(9));
    }
    if (!name || name->size() != kDeviceNameSize) {
        if (problem)
            *problem = (root_ / kRecordFile).string() + " holds no 12-character name";
        return std::nullopt;
    }
    return StoredRecord{*name, written};
}

std::string StateFolder::SetRecord(const StoredRecord& record)
{
    std::string text = "name: " + EscapeName(record.name) + "\n";
    text += "written: " + (record.written ? FormatUtc(*record.written) : std::string("unknown")) + "\n";
    return ReplaceFile(root_ / kRecordFile, text);
}

}  // namespace quillon::sim
