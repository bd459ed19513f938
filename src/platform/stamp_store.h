#pragma once

// Clean stamps of files on file systems without user extended attributes
// (exFAT, FAT, NFS v3, ramfs, some FUSE mounts), kept in one file per user:
// each file's full path and the stamp its extended attribute would hold.
// The attribute layer turns to it only where setting the attribute fails as
// not supported; a file it has no entry for reads as changed.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// While one lives, the stamps stored and forgotten wait in memory (where they
// are read back) and go to the store in one write when the last one ends,
// instead of one write and flush of the whole store each: marking the files
// of a backup. A stamp that never reaches the store leaves its file changed.
class StampBatch {
public:
    StampBatch();
    ~StampBatch(); // End, unless it was called
    StampBatch(const StampBatch&) = delete;
    StampBatch& operator=(const StampBatch&) = delete;

    // Ends the batch: the number of stamps held that could not be written to
    // the store (a full or read-only state folder), last error set; 0 when
    // they were written, or wait for a batch still open.
    std::size_t End();

private:
    bool ended_ = false;
};

// $XDG_STATE_HOME/mfbackup/clean-stamps, else ~/.local/state/mfbackup/clean-stamps.
std::string StampStorePath();

// Full path -> stamp text (as FormatCleanStamp writes it).
using StampEntries = std::map<std::string, std::string>;

// The store file's text: a header line, then one line per file. Parsing
// gives nullopt for a damaged or foreign text, which the store then takes
// as empty: every file reads as changed.
std::string FormatStampStore(const StampEntries& entries);
std::optional<StampEntries> ParseStampStore(std::string_view text);

} // namespace platform
