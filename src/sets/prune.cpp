#include "sets/prune.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/kinds.h"
#include "sets/set_list.h"

#include <algorithm>
#include <unordered_set>

namespace sets {
namespace {

// The names that can't be in a set, as a line: the first few, and how many more.
std::string NameList(const std::vector<std::string>& names) {
    constexpr std::size_t shown = 5;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > shown)
        text += " and " + std::to_string(names.size() - shown) + " more";
    return text;
}

// The files of a set folder that a removal deletes (desc.txt, the origin and
// the manifest last, so that a removal stopped half way still shows as a
// damaged set), or why the folder is not removed.
bool OwnFiles(const std::string& folder, std::vector<std::string>& files, std::string& why) {
    Manifest manifest;
    ReadManifest(folder, manifest); // a damaged one lists nothing
    std::vector<std::string> foreign;
    std::vector<std::string> last;
    platform::FileSearch search;
    if (!search.FindFirst(folder + "*", platform::faAnyFile)) {
        why = "it can't be read: " + platform::SysErrorMessage(platform::GetLastError());
        return false;
    }
    do {
        const platform::SearchRec& rec = search.Rec();
        if (rec.Name == "." || rec.Name == "..")
            continue;
        if (rec.Attr & platform::faDirectory)
            foreign.push_back(rec.Name + "/");
        else if (!IsSetFileName(rec.Name, manifest))
            foreign.push_back(rec.Name);
        else if (platform::EqualIgnoringAsciiCase(rec.Name, "desc.txt") ||
                 platform::EqualIgnoringAsciiCase(rec.Name, ManifestName) ||
                 platform::EqualIgnoringAsciiCase(rec.Name, OriginName) ||
                 platform::EqualIgnoringAsciiCase(rec.Name, UnfinishedName))
            last.push_back(rec.Name);
        else
            files.push_back(rec.Name);
    } while (search.FindNext());
    if (!foreign.empty()) {
        why = "it holds what a set does not: " + NameList(foreign);
        return false;
    }
    files.insert(files.end(), last.begin(), last.end());
    return true;
}

// Deletes `files` of `folder`, then the folder, through the folder itself:
// a link put in its place leads nowhere. False with `why` at the first that
// fails.
bool RemoveSet(const std::string& folder, const std::vector<std::string>& files, std::string& why) {
    std::string failed;
    if (platform::RemoveFolderWithFiles(folder, files, failed))
        return true;
    why = (failed.empty() ? "error removing " + folder : "error deleting " + folder + failed) +
          ": " + platform::SysErrorMessage(platform::GetLastError());
    return false;
}

// The save file a set's file is a copy of, by the name the game gives it
// (the name tells the kind): a save as it is, an archive as the save it
// stands for (characters.zip for characters.lpl, game1.zip for game1.sav);
// "" for any other file.
std::string SaveOf(const std::string& file) {
    for (Kind kind : AllKinds) {
        const std::string own = KindFileName(kind);
        if (platform::MatchesWildcard(own, file))
            return file;
        if (platform::MatchesWildcard(KindFileName(kind, true), file))
            return file.substr(0, file.size() - 3) + own.substr(own.rfind('.') + 1);
    }
    return {};
}

bool IsMark(const std::string& file) {
    return platform::EqualIgnoringAsciiCase(file, UnfinishedName);
}

} // namespace

bool IsSetFileName(std::string_view name, const Manifest& manifest) {
    if (platform::EqualIgnoringAsciiCase(name, "desc.txt") ||
        platform::EqualIgnoringAsciiCase(name, ManifestName) ||
        platform::EqualIgnoringAsciiCase(name, UnfinishedName) ||
        platform::EqualIgnoringAsciiCase(name, OriginName) || manifest.Find(name))
        return true;
    for (const char* temporary : {".mfcopy-*", ".pkzip-*"})
        if (platform::MatchesWildcard(temporary, name))
            return true;
    for (Kind kind : AllKinds)
        for (bool zip : {false, true})
            if (platform::MatchesWildcard(KindFileName(kind, zip), name))
                return true;
    return false;
}

bool RemoveSetFolder(const std::string& folder, std::string& why) {
    std::vector<std::string> files;
    return OwnFiles(folder, files, why) && RemoveSet(folder, files, why);
}

std::vector<PruneStep> Prune(const std::string& backupDir, std::size_t keep, bool dryRun) {
    std::vector<SetEntry> sets = SetsByDate(backupDir);
    const std::size_t count = sets.size();
    struct Look {
        bool Sure = false;              // surely a set: its files are in Files
        std::vector<std::string> Files; // what a removal deletes
        std::string Why;                // why it is not surely a set
        std::vector<std::string> Only;  // the saves it holds the newest copy of
        bool Kept = false;              // one of the newest others kept
    };
    std::vector<Look> looks(count);
    for (std::size_t i = 0; i < count; ++i) {
        Look& look = looks[i];
        if (!IsSetName(sets[i].Rec.Name))
            look.Why = "its name is not a set's (MFB and 1 to 4 hex digits)";
        else
            look.Sure = OwnFiles(SetFolder(backupDir, sets[i].Rec.Name), look.Files, look.Why);
    }

    // Sets hold only what changed: the newest copy of a save may be in an
    // old set alone. Newest first, each save goes to the first finished set
    // that holds it (an unfinished one may hold it torn).
    std::unordered_set<std::string> seen;
    std::size_t holding = 0;
    for (std::size_t i = count; i-- > 0;) {
        Look& look = looks[i];
        if (!look.Sure || std::any_of(look.Files.begin(), look.Files.end(), IsMark))
            continue;
        for (const std::string& file : look.Files) {
            const std::string save = SaveOf(file);
            if (!save.empty() && seen.insert(platform::LowerAscii(save)).second)
                look.Only.push_back(save);
        }
        holding += !look.Only.empty();
    }
    // Those sets stay and count toward `keep`; the newest others make it up.
    std::size_t others = keep > holding ? keep - holding : 0;
    for (std::size_t i = count; i-- > 0 && others > 0;) {
        if (looks[i].Only.empty()) {
            looks[i].Kept = true;
            --others;
        }
    }

    std::vector<PruneStep> steps;
    for (std::size_t i = 0; i < count; ++i) {
        Look& look = looks[i];
        if (look.Kept || (!look.Only.empty() && i + keep >= count))
            continue; // among the newest `keep`, or kept as one of them
        PruneStep step{std::move(sets[i]), PruneOutcome::Kept, std::move(look.Why)};
        if (!look.Only.empty()) {
            step.Outcome = PruneOutcome::KeptCopy;
            step.Why = "the only copy of " + NameList(look.Only);
        } else if (look.Sure) {
            step.Outcome =
                dryRun ? PruneOutcome::WouldRemove
                : RemoveSet(SetFolder(backupDir, step.Set.Rec.Name), look.Files, step.Why)
                    ? PruneOutcome::Removed
                    : PruneOutcome::Failed;
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

} // namespace sets
