#pragma once

// The backup sets of the backup folder, and what one holds.

#include "sets/kinds.h"

#include "platform/dir_search.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sets {

// The folder of the set `setName` of `backupDir` (both ending in '/'),
// ending in '/'.
std::string SetFolder(const std::string& backupDir, const std::string& setName);

// One set folder as the directory search found it (Name is the bare folder
// name, WriteTime its last-write time) and the first line of its desc.txt.
struct SetEntry {
    platform::SearchRec Rec;
    std::string Description;
};

// The set folders of `backupDir` (ending in '/') in the order of the
// directory search: every visible folder whose name does not start with ".",
// links left out.
std::vector<SetEntry> ListSets(const std::string& backupDir);
// The same sets oldest first: by the folder's last-write time, then in the
// order of the directory search.
std::vector<SetEntry> SetsByDate(const std::string& backupDir);

// What a folder of save files holds: the kinds under their own names and as
// archives, and its visible files (desc.txt aside) with their total size.
struct FolderContents {
    KindSet Plain;
    KindSet Archived;
    std::size_t Files = 0;
    std::int64_t Bytes = 0;

    // The form its files are in: archives when it holds kinds only as
    // archives, plain files when only plainly; `fallback` when both or neither.
    bool InArchives(bool fallback) const {
        return Archived.Any() != Plain.Any() ? Archived.Any() : fallback;
    }
};
FolderContents ReadContents(const std::string& folder);

} // namespace sets
