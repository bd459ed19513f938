#include "core/backup.h"

#include "config/backup_config.h"
#include "core/manifest.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "storage/archiver_call.h"
#include "storage/backup_set.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

namespace core {
namespace {

// Size and last-write time of a file as a search sees it, to tell whether the
// game wrote it again while the backup ran.
struct FileState {
    bool Known = false;
    std::int64_t Size = 0;
    struct timespec WriteTime = {};

    bool operator==(const FileState& o) const {
        return Known && o.Known && Size == o.Size && WriteTime.tv_sec == o.WriteTime.tv_sec &&
               WriteTime.tv_nsec == o.WriteTime.tv_nsec;
    }
};

using FileStates = std::unordered_map<std::string, FileState>;

// The state of every file of the folders that `paths` lie in, one search per
// folder.
FileStates StatesOf(const std::vector<std::string>& paths) {
    FileStates states;
    std::vector<std::string> folders;
    for (const std::string& path : paths) {
        std::string folder = platform::ExtractFilePath(path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
    }
    for (const std::string& folder : folders) {
        platform::FileSearch search;
        if (!search.FindFirst(folder + "*.*", platform::faAnyFile))
            continue;
        do {
            const platform::SearchRec& rec = search.Rec();
            states[folder + rec.Name] = FileState{true, rec.Size, rec.WriteTime};
        } while (search.FindNext());
    }
    return states;
}

// The archive that takes `source` in the set, without ".zip".
std::string ArchiveIn(const std::string& source, const std::string& setPath) {
    return setPath + ArchiveBaseName(platform::ExtractFileName(source));
}

// Says that `source` was not backed up, and why not in the usual words.
void ReportFailure(const std::string& source, const std::string& setPath, bool zip,
                   Reporter& reporter) {
    if (zip)
        reporter.Message("error zipping " + source + " to " + ArchiveIn(source, setPath));
    else
        reporter.Message("error copying " + source + " to " + BackupTarget(source, setPath, false));
}

// A file name as the archiver matches entries: ASCII letters in lower case.
std::string EntryKey(const std::string& source) {
    return platform::LowerAscii(platform::ExtractFileName(source));
}

} // namespace

std::string BackupTarget(const std::string& source, const std::string& setPath, bool zip) {
    if (zip)
        return ArchiveIn(source, setPath) + ".zip";
    return setPath + platform::ExtractFileName(source);
}

bool CanBackup(const std::string& pattern, bool ignoreArchiveBit) {
    platform::FileSearch search;
    if (!search.FindFirst(pattern, platform::faAnyFile))
        return false;
    if (ignoreArchiveBit)
        return true;
    return (search.Rec().Attr & platform::faArchive) != 0;
}

std::string BackupTestPattern(Kind kind) {
    return BackupConfig.GameDir.Get() + KindFolder(kind) + KindFileName(kind);
}

KindSet OfferedKinds(bool ignoreArchiveBit) {
    KindSet offered;
    for (Kind kind : AllKinds)
        offered.Set(kind, CanBackup(BackupTestPattern(kind), ignoreArchiveBit));
    return offered;
}

void CollectFiles(const std::string& folder, std::vector<std::string>& list) {
    constexpr std::uint32_t leftOut =
        platform::faDirectory | platform::faHidden | platform::faSysFile | platform::faVolumeID;
    platform::FileSearch search;
    if (!search.FindFirst(folder + "*.*", platform::faArchive))
        return;
    do {
        const platform::SearchRec& rec = search.Rec();
        if ((rec.Attr & leftOut) == 0 && (rec.Attr & platform::faArchive) != 0)
            list.push_back(folder + rec.Name);
    } while (search.FindNext());
}

std::vector<std::string> BackupSources(const KindSet& kinds) {
    const std::string gameDir = BackupConfig.GameDir.Get();
    std::vector<std::string> list;
    for (Kind kind : AllKinds)
        if (kinds.Has(kind))
            CollectFiles(gameDir + KindFolder(kind), list);
    return list;
}

bool ZipFile(const std::string& source, const std::string& archive) {
    return RunArchiver(ArchiverName, CompressParams(archive, platform::ExtractFileName(source)),
                       platform::ExtractFilePath(source));
}

bool BackupFile(const std::string& source, const std::string& setPath, bool zip,
                Reporter& reporter) {
    const std::string target = BackupTarget(source, setPath, zip);
    // A plain copy never replaces a file of the set: one already there (in
    // any letter case) was written by this backup, for another source.
    const bool ok = zip ? ZipFile(source, ArchiveIn(source, setPath))
                        : platform::CopyFile(source, target, true);
    if (!ok)
        ReportFailure(source, setPath, zip, reporter);
    reporter.FileDone(source, target, ok);
    return ok;
}

RunResult Backup(const BackupChoices& choices, Reporter& reporter) {
    RunResult result;
    const std::vector<std::string> list = BackupSources(choices.Kinds);
    if (list.empty()) {
        reporter.Message("Nothing found to backup!");
        return result;
    }
    if (choices.DryRun) {
        for (const std::string& source : list)
            reporter.FilePlanned(source, {});
        return result;
    }

    RemoveStaleSets();
    std::string setPath;
    if (!CreateBackupSet(choices.Description, setPath)) {
        result.Failures = 1;
        return result;
    }

    reporter.ProgressShow("Backing Up");

    // What each file looked like before it was copied, to tell afterwards
    // whether the game wrote it again while the backup ran.
    const FileStates before = StatesOf(list);
    std::vector<std::string> backedUp;
    std::vector<std::string> copies;
    // The archive entries written so far: the archiver replaces an entry of
    // the same name (in any letter case), so a second source of that name
    // (a case twin, or a file of another folder) would take the first one's
    // content out of the set while the first is marked backed up.
    std::unordered_set<std::string> entries;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string& path = list[i];
        reporter.ProgressStep(i + 1, list.size(), platform::ExtractFileName(path));
        reporter.ProgressText(path);
        const std::string key = EntryKey(path);
        bool ok = false;
        if (choices.Zip && entries.count(key) != 0) {
            ReportFailure(path, setPath, true, reporter);
            reporter.FileDone(path, BackupTarget(path, setPath, true), false);
        } else {
            ok = BackupFile(path, setPath, choices.Zip, reporter);
        }
        if (ok) {
            entries.insert(key);
            backedUp.push_back(path);
            copies.push_back(BackupTarget(path, setPath, choices.Zip));
        } else {
            ++result.Failures;
        }
    }
    result.Done = backedUp.size();
    // A set that no file went into is no backup: Restore would list it.
    if (backedUp.empty())
        RemoveEmptySet(setPath);

    // A source is marked backed up only once every copy is on disk, with the
    // set's checksums: a machine that stops before leaves all sources marked
    // changed, so the next backup takes them again.
    if (!backedUp.empty()) {
        std::vector<std::string> names;
        for (const std::string& copy : copies)
            names.push_back(platform::ExtractFileName(copy));
        copies.push_back(setPath);
        if (WriteManifestOf(setPath, names) && platform::FlushFiles(copies)) {
            const FileStates after = StatesOf(backedUp);
            for (const std::string& source : backedUp) {
                // Written again by the game while the backup ran: the set may
                // hold the older content, so the file stays marked changed.
                const auto b = before.find(source);
                const auto a = after.find(source);
                if (b != before.end() && a != after.end() && a->second == b->second)
                    platform::SetFileAttributes(source, 0);
            }
        } else {
            const std::string cause = platform::SysErrorMessage(platform::GetLastError());
            reporter.Message("error writing " + setPath + " to disk: " + cause);
            ++result.Failures;
        }
    }

    reporter.ProgressHide();
    return result;
}

} // namespace core
