#include "core/import.h"

#include "core/backup_folder_lock.h"
#include "core/checked_copy.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "sets/archive_names.h"
#include "sets/backup_set.h"

#include <algorithm>
#include <unordered_map>

namespace core {

std::vector<std::string> MediumFiles(const std::string& folder, const sets::KindSet& kinds) {
    std::vector<std::string> list;
    for (sets::Kind kind : {sets::Kind::Characters, sets::Kind::Multiplayer})
        if (kinds.Has(kind))
            list.push_back(folder + sets::KindFileName(kind));
    if (kinds.Single) {
        platform::FileSearch search;
        if (search.FindFirst(folder + "game*.*", platform::faAnyFile)) {
            do {
                if (!(search.Rec().Attr & platform::faDirectory))
                    list.push_back(folder + search.Rec().Name);
            } while (search.FindNext());
        }
    }
    return list;
}

std::string ReadDescText(const std::string& folderPath) {
    return sets::ReadDescriptionFile(folderPath);
}

bool ImportFile(const std::string& source, sets::SetWriter& set, bool zip, Reporter& reporter,
                const Checksums& sums) {
    const std::string folder = platform::ExtractFilePath(source);
    std::string name = platform::ExtractFileName(source);
    if (zip)
        name = sets::WithZipExtension(name);
    const std::string from = folder + name;
    const std::string to = set.Path() + name;

    reporter.ProgressText("copying " + from + " to " + to);
    CopyCheck copy = CopyCheck::Failed;
    // A case twin (GAME1.SAV beside game1.sav) would replace the first one's
    // copy: the set keeps the first. The very same name copies again.
    if (const std::string* held = set.Holds(name); held && *held != name) {
        platform::SetLastError(platform::ERROR_FILE_EXISTS);
    } else {
        sets::ManifestEntry entry;
        entry.Name = name;
        CopyOptions options;
        options.Expected = sums.Find(name);
        options.Ahead = sums.Ahead(from);
        options.Got = &entry;
        copy = CheckedCopy(from, to, options);
        if (copy == CopyCheck::Copied)
            set.Put(std::move(entry));
    }
    const bool ok = copy == CopyCheck::Copied;
    if (copy == CopyCheck::Damaged)
        reporter.Message("Error copying " + from + " to " + to +
                         ": the file on the medium is damaged");
    else if (!ok)
        reporter.Failure("Error copying " + from + " to " + to,
                         CauseText(platform::GetLastError()));
    reporter.FileDone(from, to, ok);
    return ok;
}

RunResult Import(const ImportChoices& choices, Reporter& reporter, const ImportSteps& steps) {
    RunResult result;
    BackupFolderLock lock;
    if (!lock.Take(choices.BackupDir, "Importing file", reporter)) {
        result.Stopped = true;
        return result;
    }
    const ProgressScope progress(reporter, "Importing file");
    const std::vector<std::string> list = MediumFiles(choices.Folder, choices.Kinds);

    const std::string description = steps.ReadDesc(choices.Folder);
    sets::RemoveStaleSets(choices.BackupDir);
    sets::SetWriter set;
    std::string why;
    // The set's description is cut to 255 bytes by CreateBackupSet.
    if (!set.Create(choices.BackupDir, "Imported: " + description, why)) {
        reporter.Message(why);
        result.Failures = 1;
        return result;
    }
    Checksums sums = ChecksumsToCheck(choices.Folder, reporter);
    // The files read. The checksums list what the export that wrote them
    // left: another export into the same folder may have left more.
    std::vector<std::string> read;
    std::vector<std::string> unlisted; // names the checksums lack: another export's
    for (const std::string& file : list) {
        const std::string path = choices.Zip ? sets::WithZipExtension(file) : file;
        const std::string name = platform::ExtractFileName(path);
        if (!sums.Read() || sums.Find(name))
            read.push_back(file);
        else if (std::find(unlisted.begin(), unlisted.end(), name) == unlisted.end())
            unlisted.push_back(name);
    }
    if (!unlisted.empty()) {
        std::string joined;
        for (const std::string& name : unlisted)
            joined += (joined.empty() ? "" : ", ") + name;
        reporter.Message("not part of this export: " + joined);
    }
    std::vector<std::string> ahead;
    for (const std::string& file : read)
        ahead.push_back(choices.Zip ? sets::WithZipExtension(file) : file);
    sums.HashAhead(ahead);
    for (std::size_t i = 0; i < read.size(); ++i) {
        reporter.ProgressStep(i + 1, read.size(), platform::ExtractFileName(ahead[i]));
        if (steps.CopyIn(read[i], set, choices.Zip, reporter, sums))
            ++result.Done;
        else
            ++result.Failures;
    }
    // A set that no file went into is no backup: Restore would list it.
    if (set.Empty()) {
        set.RemoveIfEmpty();
        return result;
    }
    result.NewSet = platform::ExtractFileName(platform::WithoutTrailingDelimiters(set.Path()));
    reporter.ProgressFlush();
    // The checksums of the bytes copied, then one flush of the copies with
    // them, then the set is finished.
    if (!set.Finish()) {
        reporter.Message("error writing " + set.Path() +
                         " to disk: " + platform::SysErrorMessage(platform::GetLastError()));
        ++result.Failures;
    } else if (!set.MarkFinished()) {
        reporter.Message("error marking " + set.Path() +
                         " finished: " + platform::SysErrorMessage(platform::GetLastError()));
        ++result.Failures;
    }
    return result;
}

} // namespace core
