#include "core/backup.h"

#include "core/backup_folder_lock.h"
#include "core/checked_copy.h"
#include "launcher/archiver_call.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "sets/archive_names.h"
#include "sets/backup_set.h"
#include "sets/set_writer.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <system_error>
#include <thread>

namespace core {

namespace {

// Whether the version a copy was read from is the file the search saw: the
// game did not write it in between.
bool AsSearched(const Source& source, const platform::FileVersion& read) {
    return read.Size == source.Size && read.WriteTime.tv_sec == source.WriteTime.tv_sec &&
           read.WriteTime.tv_nsec == source.WriteTime.tv_nsec;
}

// The archive that takes `source` in the set, without ".zip".
std::string ArchiveIn(const std::string& source, const std::string& setPath) {
    return sets::ArchiveOf(setPath + platform::ExtractFileName(source));
}

// Says that `source` was not backed up, in the usual words, and why: the
// last error, or for an archiver that failed its own message ("" here).
void ReportFailure(const std::string& source, const std::string& setPath, bool zip,
                   const std::string& cause, Reporter& reporter) {
    if (zip)
        reporter.Failure("error zipping " + source + " to " + ArchiveIn(source, setPath), cause);
    else
        reporter.Failure("error copying " + source + " to " + BackupTarget(source, setPath, false),
                         cause);
}

// A file name as the archiver matches entries: ASCII letters in lower case.
std::string EntryKey(const std::string& source) {
    return platform::LowerAscii(platform::ExtractFileName(source));
}

using BackedUp = std::vector<std::pair<const Source*, platform::FileVersion>>;

// Marks that could not be stored: how many, and the first one's last error.
struct Unmarked {
    std::size_t Count = 0;
    std::uint32_t Error = 0;

    void Add(std::size_t count, std::uint32_t error) {
        if (Count == 0)
            Error = error;
        Count += count;
    }
};

// Marks the sources backed up. Each mark is a few calls on its own file: half
// of them are made on a thread of their own. On a file system without
// extended attributes the marks go to the stamp store in one write.
Unmarked MarkBackedUp(const BackedUp& backedUp) {
    platform::StampBatch marks;
    Unmarked lost[2]; // by each thread, in the order of the sources
    auto mark = [&](std::size_t from, std::size_t to, Unmarked& unmarked) {
        for (std::size_t i = from; i < to; ++i) {
            const auto& [source, read] = backedUp[i];
            // Written again by the game since the search, while it was read,
            // or since: the set may hold the older content, so the file stays
            // marked changed (32), as it does when the mark can't be stored.
            if (AsSearched(*source, read) && !platform::SetFileAttributes(source->Path, 0, &read) &&
                platform::GetLastError() != platform::ERROR_SHARING_VIOLATION)
                unmarked.Add(1, platform::GetLastError());
        }
    };
    const std::size_t half = backedUp.size() / 2;
    std::thread other;
    try {
        if (half >= 64)
            other = std::thread(mark, 0, half, std::ref(lost[0]));
    } catch (const std::system_error&) {
        // no second thread: all marks on this one
    }
    mark(other.joinable() ? half : 0, backedUp.size(), lost[1]);
    if (other.joinable())
        other.join();
    lost[0].Add(lost[1].Count, lost[1].Error);
    if (const std::size_t unstored = marks.End())
        lost[0].Add(unstored, platform::GetLastError());
    return lost[0];
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

std::string BackupTestPattern(const std::string& gameDir, sets::Kind kind) {
    return gameDir + sets::KindFolder(kind) + sets::KindFileName(kind);
}

sets::KindSet OfferedKinds(const std::string& gameDir, bool ignoreArchiveBit) {
    sets::KindSet offered;
    for (sets::Kind kind : sets::AllKinds)
        offered.Set(kind, CanBackup(BackupTestPattern(gameDir, kind), ignoreArchiveBit));
    return offered;
}

void CollectFiles(const std::string& folder, std::vector<Source>& list) {
    constexpr std::uint32_t leftOut =
        platform::faDirectory | platform::faHidden | platform::faSysFile | platform::faVolumeID;
    platform::FileSearch search;
    if (!search.FindFirst(folder + "*.*", platform::faArchive))
        return;
    do {
        const platform::SearchRec& rec = search.Rec();
        if ((rec.Attr & leftOut) == 0 && (rec.Attr & platform::faArchive) != 0)
            list.push_back({folder + rec.Name, rec.Size, rec.WriteTime});
    } while (search.FindNext());
}

std::vector<Source> ChangedFiles(const std::string& gameDir, const sets::KindSet& kinds) {
    std::vector<Source> list;
    for (sets::Kind kind : sets::AllKinds)
        if (kinds.Has(kind))
            CollectFiles(gameDir + sets::KindFolder(kind), list);
    return list;
}

bool ZipFile(const std::string& source, const std::string& archive, std::string& why,
             bool setFlushed) {
    return RunArchiver(ArchiverName,
                       CompressParams(archive, platform::ExtractFileName(source), setFlushed),
                       platform::ExtractFilePath(source), why);
}

bool BackupFile(sets::SetWriter& set, const std::string& source, bool zip, Reporter& reporter,
                platform::FileVersion& read) {
    const std::string& setPath = set.Path();
    std::string target = BackupTarget(source, setPath, zip);
    std::string cause;
    bool ok;
    if (zip) {
        // The archiver replaces an entry of the same name (in any letter
        // case), so a second source of that name (a case twin, or a file of
        // another folder) would take the first one's content out of the set.
        const std::string entry = EntryKey(source);
        std::string why;
        if (set.HasEntry(entry))
            cause = CauseText(platform::ERROR_FILE_EXISTS);
        ok = cause.empty() && ZipFile(source, ArchiveIn(source, setPath), why, true);
        if (ok) {
            target = setPath + set.Added(platform::ExtractFileName(target), entry);
            // What the archiver read, as near as can be told: the file now.
            if (!platform::GetFileVersion(source, read))
                read.Size = -1; // gone: nothing to mark
        } else if (!why.empty()) {
            reporter.Message(why); // the archiver's failure, said first
        }
    } else {
        ok = set.Copy(source, read);
        if (!ok)
            cause = CauseText(platform::GetLastError());
    }
    if (!ok)
        ReportFailure(source, setPath, zip, cause, reporter);
    reporter.FileDone(source, target, ok);
    return ok;
}

RunResult Backup(const BackupChoices& choices, Reporter& reporter) {
    RunResult result;
    // Another run may be backing up these very changes: what it marked
    // backed up is not looked at again.
    BackupFolderLock lock;
    if (!choices.DryRun && !lock.Take(choices.BackupDir, "Backing Up", reporter)) {
        result.Stopped = true;
        return result;
    }
    // One search: the files to take, and how each looked before it was copied.
    const std::vector<Source> list = ChangedFiles(choices.GameDir, choices.Kinds);
    if (list.empty()) {
        reporter.Message("Nothing found to backup!");
        return result;
    }
    if (choices.DryRun) {
        for (const Source& source : list)
            reporter.FilePlanned(source.Path, {});
        return result;
    }

    sets::RemoveStaleSets(choices.BackupDir);
    sets::SetWriter set;
    std::string why;
    if (!set.Create(choices.BackupDir, choices.Description, why)) {
        reporter.Message(why);
        result.Failures = 1;
        return result;
    }
    const std::string& setPath = set.Path();

    reporter.ProgressShow("Backing Up");
    // Each source backed up, with the version its copy was read from.
    BackedUp backedUp;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (choices.Stop && choices.Stop->load()) {
            result.Stopped = true;
            break;
        }
        const std::string& path = list[i].Path;
        reporter.ProgressStep(i + 1, list.size(), platform::ExtractFileName(path));
        reporter.ProgressText(path);
        // A save written in the very tick of the file clock it is read in
        // could be written again after the read and keep its time and size:
        // it is read once that tick is over.
        platform::WaitPastWriteTime(list[i].WriteTime);
        platform::FileVersion read;
        if (BackupFile(set, path, choices.Zip, reporter, read))
            backedUp.emplace_back(&list[i], read);
        else
            ++result.Failures;
    }
    result.Done = backedUp.size();
    // A set that no file went into is no backup: Restore would list it.
    set.RemoveIfEmpty();
    if (!set.Empty())
        result.NewSet = platform::ExtractFileName(platform::WithoutTrailingDelimiters(setPath));
    // Stopped: the set keeps its unfinished mark and every source stays
    // changed, for the next backup to take.
    if (result.Stopped) {
        reporter.ProgressHide();
        return result;
    }

    // A source is marked backed up only once every copy is on disk, with the
    // set's checksums: a machine that stops before leaves all sources marked
    // changed, so the next backup takes them again.
    if (!backedUp.empty()) {
        reporter.ProgressFlush();
        if (set.Finish()) {
            // A mark not stored leaves its file changed: the next backup
            // takes it again, and so will every one after until it is said.
            const Unmarked unmarked = MarkBackedUp(backedUp);
            if (unmarked.Count != 0) {
                reporter.Message("could not mark " + std::to_string(unmarked.Count) +
                                 " files as backed up: " + CauseText(unmarked.Error));
                ++result.Failures;
            }
            // Last: the set is whole and its sources marked.
            if (!set.MarkFinished()) {
                const std::string cause = platform::SysErrorMessage(platform::GetLastError());
                reporter.Message("error marking " + setPath + " finished: " + cause);
                ++result.Failures;
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
