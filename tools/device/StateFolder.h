// What a simulated device remembers, kept as plain files in one folder so that a test or a person
// can look at it:
//
//   kind-<k>.zip        the last archive of kind k that the host uploaded, complete
//   kind-<k>.zip.part   an upload in progress (put in place only once complete), or for a moment
//                       the archive that a finished upload replaced
//   versions.txt        "kind <k>: <version>" lines
//   device-record.txt   "name: <12 characters>" and "written: YYYY-MM-DD HH:MM:SS UTC"
//
// Every name is made here from a kind number; nothing the host sends becomes a path.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/tooling/Replacement.h"

namespace quillon::sim {

namespace fs = std::filesystem;

// The most a download can carry: 2^15 blocks of 4096 bytes (the host reads the index as signed).
inline constexpr std::uint64_t kMaxDownloadBytes = 32768ull * 4096;
// The most the host uploads.
inline constexpr std::int64_t kMaxUploadBytes = 200'000'000;

// The device record as the host last wrote it.
struct StoredRecord {
    std::string name;                                 // exactly 12 bytes, as they came
    std::optional<std::chrono::sys_seconds> written;  // the UTC moment it carried, when valid
};

class StateFolder {
public:
    explicit StateFolder(fs::path root);

    // Makes the folder when it is missing. Empty on success, otherwise why it cannot be used.
    std::string Prepare();
    const fs::path& root() const { return root_; }

    fs::path UploadPath(std::uint8_t kind) const;

    // An upload being written: under a temporary name until Commit renames it into place. One
    // that is dropped without Commit leaves nothing behind.
    class Upload {
    public:
        ~Upload();
        Upload(const Upload&) = delete;
        Upload& operator=(const Upload&) = delete;

        bool Write(const std::uint8_t* data, std::size_t size);
        // Empty on success, otherwise why the archive could not be put into place.
        std::string Commit();
        // The archive that Commit replaced, left for the caller to remove when it suits it:
        // freeing a large file takes long enough to keep a host waiting.
        DisplacedFile TakeDisplaced() { return std::move(displaced_); }

    private:
        friend class StateFolder;
        Upload(fs::path temporary, fs::path final);

        fs::path temporary_;
        fs::path final_;
        std::ofstream out_;
        bool committed_ = false;
        DisplacedFile displaced_;
    };
    // Null with error set when the temporary file cannot be made.
    std::unique_ptr<Upload> BeginUpload(std::uint8_t kind, std::string& error);

    // The archive a download of kind serves: the last upload of that kind, else fallback (when
    // given and present), else nothing.
    std::optional<fs::path> DownloadSource(std::uint8_t kind, const fs::path& fallback) const;

    // The version stored for kind, 0 for a kind never written.
    std::int32_t Version(std::uint8_t kind) const;
    // Empty on success, otherwise why it could not be stored.
    std::string SetVersion(std::uint8_t kind, std::int32_t version);

    // The record the host last wrote; nullopt when there is none or it cannot be read back (then
    // problem says why, unless there simply is none).
    std::optional<StoredRecord> Record(std::string* problem = nullptr) const;
    std::string SetRecord(const StoredRecord& record);

private:
    fs::path root_;
};

// Reads a whole file of at most limit bytes. Empty error on success.
std::vector<std::uint8_t> ReadWholeFile(const fs::path& path, std::uint64_t limit, std::string& error);

// A file of at most a given size, read from start to end a piece at a time, as a download sends
// it. Only a piece is in memory at once: reading an archive of many megabytes whole would first
// have to fault in as much fresh memory, which costs more than reading the file.
class FileReader {
public:
    // nullopt with error set when path is no file, holds more than limit bytes, or cannot be read.
    static std::optional<FileReader> Open(const fs::path& path, std::uint64_t limit, std::string& error);

    const fs::path& path() const { return path_; }
    // The size the file had when it was opened.
    std::uint64_t size() const { return size_; }

    // The next count bytes; false when the file cannot be read or ends before them.
    bool ReadNext(std::uint8_t* into, std::size_t count);

private:
    FileReader(fs::path path, std::uint64_t size);

    fs::path path_;
    std::uint64_t size_ = 0;
    std::ifstream in_;
};

// The name as text: printable ASCII as it is, a backslash doubled, anything else as \xNN.
std::string EscapeName(const std::string& name);
// The reverse; nullopt for text that EscapeName cannot have made.
std::optional<std::string> UnescapeName(const std::string& text);

// "2024-03-05 14:07:09 UTC"
std::string FormatUtc(std::chrono::sys_seconds moment);
std::optional<std::chrono::sys_seconds> ParseUtc(const std::string& text);

}  // namespace quillon::sim
