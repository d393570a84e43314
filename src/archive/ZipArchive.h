// Packing files into a settings archive and unpacking one, with the reason for a failure. The
// exported CComPression reports only 0 or -1; code that wants to say why (the library's own, and
// tools that tell a person what went wrong) calls these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/base/Export.h"

namespace quillon {

// The end of a packing or an unpacking: done, or failed and why.
struct ZipOutcome {
    bool ok = true;
    std::string error;  // empty when ok

    static ZipOutcome Done() { return {}; }
    static ZipOutcome Failed(std::string why) { return {false, std::move(why)}; }
};

// Creates the archive at zipPath (replacing any file of that name) and deflates each named file of
// folder into it, in list order, each under its name as given. Names may separate folders with
// "/" or "\"; they must be names that UnpackArchive accepts (archive/EntryName.h). Each entry
// records its file's modification time in local time, as zip tools do, clamped to the years that
// the format holds (1980 to 2107). Stops at the first name that is refused, cannot be read or is
// 2 GiB or larger; the archive then holds the entries before it. A name that is a link, or that
// goes through one, is refused (naming it): it could lead out of the package. An empty folder is
// refused when there is a file to read.
QUILLON_API ZipOutcome PackFiles(const std::string& folder, const std::vector<std::string>& names,
                                 const std::string& zipPath);

// What one unpacking may write at most. Settings packages are a few files of a few megabytes; an
// archive that claims more is refused before anything is written, so that a small archive that
// inflates to gigabytes (a "zip bomb") cannot fill the disk. minizip never inflates an entry past
// the size the archive records for it, so the recorded sizes bound what is written.
inline constexpr unsigned long kMaxUnpackedEntries = 10'000;
inline constexpr unsigned long long kMaxUnpackedBytes = 256ULL * 1024 * 1024;

// Writes every entry of the archive at zipPath into folder, replacing files of the same names.
// An archive is untrusted, so it is unpacked in three steps:
//  1. Every entry is looked at before anything is written. The archive is refused when it does
//     not end exactly where its end record says (it was cut short, or something follows it), when
//     an entry's name is not accepted by EntryNameProblem, when an entry needs a folder that does
//     not exist below folder (folders are never created) or that is a link, when a folder stands
//     where a file is to go, or when an entry is encrypted or compressed by a method other than
//     deflate or store, or when it holds more than kMaxUnpackedEntries entries or its entries
//     add up to more than kMaxUnpackedBytes. A refused archive writes nothing at all.
//  2. Each entry is inflated into a new file of a fresh temporary name (".quillon-<random>-<n>.part")
//     in its target's folder and kept only when its checksum and its size match the archive's
//     record. A damaged entry removes every temporary file and leaves the folder as it was.
//  3. Only when all entries have checked out does each temporary file replace its target, in
//     archive order (a later entry of the same name wins). A failure here (which takes a file
//     system that refuses a rename) leaves the entries before it in place and removes the rest.
// No file is ever left half-written under its real name. An empty folder is refused when there
// is an entry to write. The folders that entries go into are opened in step 1, never through a
// link, and held to the end (archive/EntryFolders.h): swapping one for a link meanwhile sends
// nothing elsewhere. beforeEntry, when given, is called with each entry's index before step 2
// writes it; the tests change the folder there, while an unpacking is under way.
QUILLON_API ZipOutcome UnpackArchive(const std::string& zipPath, const std::string& folder,
                                     const std::function<void(std::size_t)>& beforeEntry = {});

class EntryStream;
// UnpackArchive for an archive that arrived through streamed (archive/EntryStream.h), into its
// folder, with the same checks: an entry that streamed wrote out whole and that checks out
// is put in place as it was written, instead of being read back from the archive.
ZipOutcome UnpackStreamedArchive(const std::string& zipPath, EntryStream& streamed);

// Whether the file starts as a zip archive does: with a local entry, or with the end record of an
// archive without entries. Enough to refuse to send the device something else by mistake; whether
// the archive is whole only unpacking shows.
QUILLON_API bool LooksLikeZip(const std::string& path);

}  // namespace quillon
