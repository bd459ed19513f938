#include "sets/prune.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/kinds.h"
#include "sets/set_list.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
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
// damaged set), or why the folder is not removed; `manifest` gets the set's
// checksums as `read` says they were read (a damaged manifest lists nothing).
bool OwnFiles(const std::string& folder, std::vector<std::string>& files, std::string& why,
              Manifest& manifest, ManifestRead& read) {
    read = ReadManifest(folder, manifest);
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

// Why a copy of a save does not count as one.
enum class Refusal {
    None,         // it counts
    Unfinished,   // its set is unfinished: the copy may be torn
    Pulled,       // its set came from another machine, whose save it is
    NoChecksums,  // its set has none to check it by
    BadChecksums, // its set's checksums are damaged or can't be read
    Unlisted,     // its set's checksums do not list it
    Unreadable,
    Size,
    Checksum,
};

// A save whose newest good copy a set holds, and the newest copy of a newer
// set that did not count (Why None when there was none).
struct HeldCopy {
    std::string Save;
    Refusal Why = Refusal::None;
    std::string By;         // that newer copy's set
    std::string From;       // for Pulled: the machine that set came from
    bool Unchecked = false; // newer than any good copy, in a set without checksums
};

struct Look {
    bool Sure = false;              // surely a set: its files are in Files
    std::vector<std::string> Files; // what a removal deletes
    std::string Why;                // why it is not surely a set
    Manifest Sums;                  // its checksums, as SumsRead says they were read
    ManifestRead SumsRead = ManifestRead::Missing;
    std::vector<HeldCopy> Only; // the saves it holds the newest good copy of
    bool Kept = false;          // one of the newest others kept
};

bool Holds(const Look& look, const char* name) {
    return std::any_of(look.Files.begin(), look.Files.end(), [name](const std::string& file) {
        return platform::EqualIgnoringAsciiCase(file, name);
    });
}

// Why no copy of a set counts, whatever it holds; None when each is checked.
Refusal SetRefusal(const Look& look) {
    if (Holds(look, UnfinishedName))
        return Refusal::Unfinished;
    if (Holds(look, OriginName))
        return Refusal::Pulled;
    if (look.SumsRead == ManifestRead::Missing)
        return Refusal::NoChecksums;
    return look.SumsRead == ManifestRead::Read ? Refusal::None : Refusal::BadChecksums;
}

// Whether `file` of `folder` is as the set's checksums say, by size and
// SHA-256 (an archive as stored: it stands for its save).
Refusal CheckCopy(const std::string& folder, const std::string& file, const Manifest& sums) {
    const ManifestEntry* listed = sums.Find(file);
    if (!listed)
        return Refusal::Unlisted;
    ManifestEntry entry;
    if (!HashEntry(folder, file, entry))
        return Refusal::Unreadable;
    if (entry.Size != listed->Size)
        return Refusal::Size;
    return entry.Digest == listed->Digest ? Refusal::None : Refusal::Checksum;
}

// The machine a pulled set came from, by its origin ("MACHINE/SET").
std::string OriginMachine(const std::string& folder) {
    const std::string origin = ReadSetOrigin(folder);
    return origin.substr(0, origin.find('/'));
}

// Sets hold only what changed: the newest copy of a save may be in an old set
// alone. Newest first, each save goes to the first set holding a good copy of
// it: one made here (a pulled set's game1.sav is another machine's save),
// finished (an unfinished one may hold it torn), matching the set's
// checksums. A copy is read only while its save has no good copy yet.
// A copy in a set without checksums (as sets made before checksums were) is
// no good copy, yet the newest one newer than any good copy stays too: it
// may be the newest of the save, and nothing proves it damaged.
void FindGoodCopies(const std::string& backupDir, const std::vector<SetEntry>& sets,
                    std::vector<Look>& looks) {
    std::unordered_set<std::string> found;                  // saves, in lower case
    std::unordered_map<std::string, HeldCopy> newestBad;    // by save, in lower case
    std::unordered_map<std::string, std::size_t> unchecked; // its newest set without checksums
    for (std::size_t i = sets.size(); i-- > 0;) {
        Look& look = looks[i];
        if (!look.Sure)
            continue;
        const std::string& name = sets[i].Rec.Name;
        const std::string folder = SetFolder(backupDir, name);
        std::optional<Refusal> whole; // the set's own, once a copy needs it
        for (const std::string& file : look.Files) {
            const std::string save = SaveOf(file);
            const std::string key = platform::LowerAscii(save);
            if (save.empty() || found.count(key))
                continue;
            if (!whole)
                whole = SetRefusal(look);
            const Refusal why =
                *whole != Refusal::None ? *whole : CheckCopy(folder, file, look.Sums);
            if (why != Refusal::None) {
                const std::string from = why == Refusal::Pulled ? OriginMachine(folder) : "";
                newestBad.try_emplace(key, HeldCopy{save, why, name, from});
                if (why == Refusal::NoChecksums)
                    unchecked.try_emplace(key, i);
                continue;
            }
            found.insert(key);
            const auto bad = newestBad.find(key);
            if (bad != newestBad.end() && bad->second.By != name) // not a twin in this set
                look.Only.push_back({save, bad->second.Why, bad->second.By, bad->second.From});
            else
                look.Only.push_back({save, Refusal::None, {}, {}});
        }
    }
    for (std::size_t i = sets.size(); i-- > 0;) {
        for (const std::string& file : looks[i].Files) {
            const std::string save = SaveOf(file);
            const auto it = unchecked.find(platform::LowerAscii(save));
            if (it != unchecked.end() && it->second == i) {
                looks[i].Only.push_back({save, Refusal::NoChecksums, {}, {}, true});
                unchecked.erase(it); // a twin of this set's
            }
        }
    }
}

// Why a copy of `copy.By` did not count; `many` for more than one save.
std::string RefusalText(const HeldCopy& copy, bool many) {
    const std::string copies = copy.By + (many ? "'s copies " : "'s copy ");
    switch (copy.Why) {
    case Refusal::None:
        break;
    case Refusal::Unfinished:
        return copy.By + " is unfinished";
    case Refusal::Pulled:
        return copy.By + " was pulled from " + (copy.From.empty() ? "another machine" : copy.From);
    case Refusal::NoChecksums:
        return copy.By + " has no checksums";
    case Refusal::BadChecksums:
        return copy.By + "'s checksums can't be read";
    case Refusal::Unlisted:
        return copies + (many ? "are" : "is") + " not in its checksums";
    case Refusal::Unreadable:
        return copies + "can't be read";
    case Refusal::Size:
        return copies + (many ? "have" : "has") + " the wrong size";
    case Refusal::Checksum:
        return copies + (many ? "are" : "is") + " damaged";
    }
    return {};
}

// Why a set holding `held` stays: "the only copy of characters.lpl"; for
// saves whose newer copies did not count, by their set and reason, "the only
// good copy of game1.sav (MFB3's copy is damaged)"; for unchecked ones, "the
// newest copy of net.sav (this set has no checksums)"; "; " between.
std::string KeptWhy(std::vector<HeldCopy> held) {
    std::stable_partition(held.begin(), held.end(),
                          [](const HeldCopy& copy) { return copy.Why == Refusal::None; });
    std::vector<std::pair<const HeldCopy*, std::vector<std::string>>> groups;
    for (const HeldCopy& copy : held) {
        auto group = std::find_if(groups.begin(), groups.end(), [&copy](const auto& g) {
            return g.first->Why == copy.Why && g.first->By == copy.By &&
                   g.first->Unchecked == copy.Unchecked;
        });
        if (group == groups.end())
            group = groups.insert(group, {&copy, {}});
        group->second.push_back(copy.Save);
    }
    std::string text;
    for (const auto& [head, saves] : groups) {
        text += text.empty() ? "" : "; ";
        if (head->Why == Refusal::None)
            text += "the only copy of " + NameList(saves);
        else if (head->Unchecked)
            text += "the newest copy of " + NameList(saves) + " (this set has no checksums)";
        else
            text += "the only good copy of " + NameList(saves) + " (" +
                    RefusalText(*head, saves.size() > 1) + ")";
    }
    return text;
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
    Manifest manifest;
    ManifestRead read;
    return OwnFiles(folder, files, why, manifest, read) && RemoveSet(folder, files, why);
}

std::vector<PruneStep> Prune(const std::string& backupDir, std::size_t keep, bool dryRun) {
    std::vector<SetEntry> sets = SetsByDate(backupDir);
    const std::size_t count = sets.size();
    std::vector<Look> looks(count);
    for (std::size_t i = 0; i < count; ++i) {
        Look& look = looks[i];
        if (!IsSetName(sets[i].Rec.Name))
            look.Why = "its name is not a set's (MFB and 1 to 4 hex digits)";
        else
            look.Sure = OwnFiles(SetFolder(backupDir, sets[i].Rec.Name), look.Files, look.Why,
                                 look.Sums, look.SumsRead);
    }
    FindGoodCopies(backupDir, sets, looks);

    // Those sets stay and count toward `keep`; the newest others make it up.
    const std::size_t holding = static_cast<std::size_t>(std::count_if(
        looks.begin(), looks.end(), [](const Look& look) { return !look.Only.empty(); }));
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
            step.Why = KeptWhy(look.Only);
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
