#include "sets/set_list.h"

#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "sets/backup_set.h"

#include <algorithm>

namespace sets {

std::string SetFolder(const std::string& backupDir, const std::string& setName) {
    return backupDir + setName + platform::PathDelim;
}

std::vector<SetEntry> ListSets(const std::string& backupDir) {
    std::vector<SetEntry> sets;
    platform::FileSearch search;
    if (!search.FindFirst(backupDir + "*.*", platform::faDirectory))
        return sets;
    do {
        const platform::SearchRec& rec = search.Rec();
        // Plain files come with a directory search; dot folders ("." and ".."
        // among them) are no sets, nor is a link to a folder: what it leads
        // to (the game's own saves, say) is no set to restore or prune.
        if (!(rec.Attr & platform::faDirectory) || rec.Name.empty() || rec.Name[0] == '.' ||
            platform::IsSymbolicLink(backupDir + rec.Name))
            continue;
        SetEntry entry{rec, {}};
        ReadSetDescription(backupDir, rec.Name, entry.Description);
        sets.push_back(std::move(entry));
    } while (search.FindNext());
    return sets;
}

std::vector<SetEntry> SetsByDate(const std::string& backupDir) {
    std::vector<SetEntry> sets = ListSets(backupDir);
    std::stable_sort(sets.begin(), sets.end(), [](const SetEntry& a, const SetEntry& b) {
        const timespec& x = a.Rec.WriteTime;
        const timespec& y = b.Rec.WriteTime;
        return x.tv_sec != y.tv_sec ? x.tv_sec < y.tv_sec : x.tv_nsec < y.tv_nsec;
    });
    return sets;
}

FolderContents ReadContents(const std::string& folder) {
    FolderContents contents;
    contents.Plain = HeldKinds(folder, false);
    contents.Archived = HeldKinds(folder, true);
    platform::FileSearch search;
    // Without attributes in the mask: no folder, hidden or system entry.
    if (!search.FindFirst(folder + "*.*", 0))
        return contents;
    do {
        const platform::SearchRec& rec = search.Rec();
        if (platform::EqualIgnoringAsciiCase(rec.Name, "desc.txt"))
            continue;
        ++contents.Files;
        contents.Bytes += rec.Size;
    } while (search.FindNext());
    return contents;
}

} // namespace sets
