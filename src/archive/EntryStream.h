// The entries of an archive that arrives in order, a piece at a time (a download), written out as
// they arrive: a stored entry as it is, a deflated one inflated, each checksummed as it goes. Once
// the archive is whole they need not be read back and written out again, which would otherwise be
// the longest step between a download's last block and its end. Each entry's file gets a fresh
// temporary name in the folder the entry unpacks into.
//
// Nothing here is trusted: the local headers that the stream follows are the archive's word
// alone. UnpackStreamedArchive (archive/ZipArchive.h) checks the whole archive as UnpackArchive
// does and takes a file written here only for an entry that its own plan puts into the same
// folder under the same name, with its data at the same place in the archive and of the same
// sizes, and whose checksum as written matches the archive's directory; any other entry is
// unpacked from the archive as usual. Entries that are encrypted, compressed by another method, too
// large, badly named, or that do not inflate to exactly their size are passed over; what the stream
// cannot follow (sizes given only after the data, zip64 sizes, anything but a local header where
// one should start) ends it, never the download.
//
// Not thread-safe: one owner appends, then unpacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/EntryFolders.h"
#include "support/fs/Paths.h"

namespace quillon {

class EntryStream {
public:
    // Entries go into folder and the existing folders below it, opened as an unpacking opens them
    // (never through a link, held from here on). When folder cannot be opened nothing is written.
    explicit EntryStream(std::string folder);
    // Removes every file written here that no unpacking took.
    ~EntryStream();
    EntryStream(const EntryStream&) = delete;
    EntryStream& operator=(const EntryStream&) = delete;

    // The archive's next count bytes.
    void Append(const std::uint8_t* data, std::size_t count);

    const std::string& folder() const { return root_; }
    // Whether any entry was written out whole: a stream without one has nothing for an unpacking.
    bool HasWritten() const { return !written_.empty(); }
    EntryFolders& folders() { return folders_; }

    // An entry written out whole.
    struct Written {
        const DirectoryHandle* folder = nullptr;  // from folders()
        std::string fileName;                     // the entry's name in that folder
        std::uint64_t dataAt = 0;                 // where its data starts in the archive
        std::uint64_t storedSize = 0;             // its bytes there
        std::uint64_t size = 0;                   // its bytes written
        std::uint32_t crc = 0;                    // of the bytes written
        std::string temporary;                    // the file in folder that holds them
    };
    // Hands over the file written for the entry of that name in folder whose data lies at dataAt,
    // storedSize bytes long, and came out size bytes long; nullopt when there is none. Whoever takes
    // it removes it when it is not used.
    std::optional<Written> Take(const DirectoryHandle* folder, std::string_view fileName,
                                std::uint64_t dataAt, std::uint64_t storedSize, std::uint64_t size);

private:
    enum class State { Header, Data, Stopped };
    struct Inflater;  // zlib's state for the deflated entry under way

    void HeaderComplete();
    void BeginData(std::string_view name, std::uint16_t flags, std::uint16_t method, std::uint32_t storedSize,
                   std::uint32_t size);
    void Write(const std::uint8_t* data, std::size_t count);
    void Inflate(const std::uint8_t* data, std::size_t count);
    void EndData();
    void DropCurrent();

    std::string root_;
    EntryFolders folders_;
    State state_;
    std::uint64_t offset_ = 0;            // of the next byte in the archive
    std::vector<std::uint8_t> header_;    // the local header as it gathers
    std::size_t headerSize_ = 0;          // its whole size, once its fixed part says it
    std::uint64_t dataLeft_ = 0;          // of the entry under way
    std::uint64_t totalWritten_ = 0;      // bounded as an unpacking is
    std::unique_ptr<char[]> fileBuffer_;  // the entry files' stdio buffer; declared before file_
    FilePtr file_;                        // the entry under way, when it is written out
    std::unique_ptr<Inflater> inflater_;  // made at the first deflated entry
    bool inflating_ = false;              // the entry under way is deflated
    std::uint64_t inflated_ = 0;          // what it came to so far
    Written current_;
    std::vector<Written> written_;
};

}  // namespace quillon
