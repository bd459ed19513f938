#include "core/prune.h"

#include "core/kinds.h"
#include "core/restore.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>

namespace core {
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

// The files of a set folder that a removal deletes (desc.txt and the
// manifest last, so that a removal stopped half way still shows as a
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
                 platform::EqualIgnoringAsciiCase(rec.Name, ManifestName))
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

// Deletes `files` of `folder`, then the folder; false with `why` at the
// first that fails.
bool RemoveSet(const std::string& folder, const std::vector<std::string>& files, std::string& why) {
    for (const std::string& name : files) {
        const std::string path = folder + name;
        // A set file is read-only when its game file was: that protected the
        // game file, not the set. (Its archive bit set: no clean stamp kept
        // for a file that goes.)
        const std::uint32_t attrs = platform::GetFileAttributes(path);
        if (attrs != platform::INVALID_FILE_ATTRIBUTES && (attrs & platform::faReadOnly))
            platform::SetFileAttributes(path,
                                        (attrs & ~platform::faReadOnly) | platform::faArchive);
        if (!platform::DeleteFile(path)) {
            why = "error deleting " + path + ": " +
                  platform::SysErrorMessage(platform::GetLastError());
            return false;
        }
    }
    if (!platform::RemoveDirectory(folder)) {
        why =
            "error removing " + folder + ": " + platform::SysErrorMessage(platform::GetLastError());
        return false;
    }
    return true;
}

} // namespace

bool IsSetFileName(std::string_view name, const Manifest& manifest) {
    if (platform::EqualIgnoringAsciiCase(name, "desc.txt") ||
        platform::EqualIgnoringAsciiCase(name, ManifestName) || manifest.Find(name))
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

std::vector<PruneStep> Prune(std::size_t keep, bool dryRun) {
    std::vector<PruneStep> steps;
    std::vector<SetEntry> sets = SetsByDate();
    const std::size_t taken = sets.size() > keep ? sets.size() - keep : 0;
    for (std::size_t i = 0; i < taken; ++i) {
        PruneStep step{std::move(sets[i]), PruneOutcome::Kept, {}};
        const std::string folder = SetFolder(step.Set.Rec.Name);
        std::vector<std::string> files;
        if (!IsSetName(step.Set.Rec.Name))
            step.Why = "its name is not a set's (MFB and 1 to 4 hex digits)";
        else if (OwnFiles(folder, files, step.Why))
            step.Outcome = dryRun                               ? PruneOutcome::WouldRemove
                           : RemoveSet(folder, files, step.Why) ? PruneOutcome::Removed
                                                                : PruneOutcome::Failed;
        steps.push_back(std::move(step));
    }
    return steps;
}

} // namespace core
