#include "core/backup.h"

#include "core/backup_folder_lock.h"
#include "core/checked_copy.h"
#include "launcher/archiver_call.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/open_writers.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "sets/archive_names.h"
#include "sets/backup_set.h"
#include "sets/set_writer.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
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

// Copies `source` into the set, or compresses it there with `zip`: `target`
// gets the path of its copy or archive, `read` the version of the source
// backed up (its size -1 when it can't be told). False, with `cause` ("" when
// the archiver's own failure was said), when it failed.
bool Store(sets::SetWriter& set, const std::string& source, bool zip, Reporter& reporter,
           platform::FileVersion& read, std::string& target, std::string& cause) {
    const std::string& setPath = set.Path();
    target = BackupTarget(source, setPath, zip);
    if (!zip) {
        if (set.Copy(source, read))
            return true;
        cause = CauseText(platform::GetLastError());
        return false;
    }
    // The archiver replaces an entry of the same name (in any letter case),
    // so a second source of that name (a case twin, or a file of another
    // folder) would take the first one's content out of the set.
    const std::string entry = EntryKey(source);
    if (set.HasEntry(entry)) {
        cause = CauseText(platform::ERROR_FILE_EXISTS);
        return false;
    }
    std::string why;
    if (!ZipFile(source, ArchiveIn(source, setPath), why, true)) {
        if (!why.empty())
            reporter.Message(why); // the archiver's failure, said first
        return false;
    }
    target = setPath + set.Added(platform::ExtractFileName(target), entry);
    // What the archiver read, as near as can be told: the file now.
    if (!platform::GetFileVersion(source, read))
        read.Size = -1; // gone: nothing to mark
    return true;
}

// A source backed up: with the version its copy was read from, and the name
// the set holds its copy (or archive) under.
struct Stored {
    const Source* From = nullptr;
    platform::FileVersion Read;
    std::string Target;
};
using BackedUp = std::vector<Stored>;

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
            const Source* source = backedUp[i].From;
            const platform::FileVersion& read = backedUp[i].Read;
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

// Takes the copy or archive `target` out of the set again, with each source
// stored in it (several share an archive): `written`, whose copy may hold
// parts of two versions, and the others with it. Each is said as not backed
// up: with `hold`, left for the next backup; otherwise failed. False when
// the copy could not be removed (said): the set is not to be finished.
bool Withdraw(sets::SetWriter& set, BackedUp& backedUp, const std::string& target,
              const std::string& written, bool zip, bool hold, Reporter& reporter,
              RunResult& result) {
    const std::string& setPath = set.Path();
    const bool dropped = set.Drop(target);
    if (!dropped) {
        reporter.Message("error removing " + setPath + target +
                         " from the set: " + CauseText(platform::GetLastError()));
        ++result.Failures;
    }
    const std::string name = platform::ExtractFileName(written);
    for (const Stored& stored : backedUp) {
        if (stored.Target != target)
            continue;
        const std::string& path = stored.From->Path;
        if (hold) {
            reporter.Message(path == written ? path + " is being written: left for the next backup"
                                             : path + " is left for the next backup with " + name +
                                                   ", in the same archive");
            ++result.Held;
        } else {
            ReportFailure(path, setPath, zip,
                          path == written ? "it was written while it was backed up"
                                          : "it shares its archive with " + name +
                                                ", which was written while it was backed up",
                          reporter);
            ++result.Failures;
        }
    }
    std::erase_if(backedUp, [&](const Stored& stored) { return stored.Target == target; });
    return dropped;
}

// The sources this user's programs still hold open for writing, or written
// since their copy was read: their copies may hold the first part of a save
// the game is still writing. False when one's copy could not be removed.
bool HoldStillWritten(sets::SetWriter& set, BackedUp& backedUp, bool zip, Reporter& reporter,
                      RunResult& result) {
    const std::set<platform::FileKey> open = platform::FilesOpenForWriting();
    std::vector<std::pair<std::string, std::string>> written; // target, source
    for (const Stored& stored : backedUp) {
        platform::FileVersion now;
        if (stored.Read.Size >= 0 &&
            (open.count({stored.Read.Device, stored.Read.Inode}) != 0 ||
             (platform::GetFileVersion(stored.From->Path, now) && !now.SameContent(stored.Read))))
            written.emplace_back(stored.Target, stored.From->Path);
    }
    bool whole = true;
    for (const auto& [target, source] : written)
        if (std::any_of(backedUp.begin(), backedUp.end(),
                        [&](const Stored& stored) { return stored.Target == target; }))
            whole = Withdraw(set, backedUp, target, source, zip, true, reporter, result) && whole;
    return whole;
}

// Backs up each source of `list` into the set, as Backup does, until the end
// or a stop; a copy not read from the version the search saw (written
// meanwhile, or while it was read) is taken out again. False when such a
// copy could not be removed.
bool StoreAll(const std::vector<Source>& list, const BackupChoices& choices, sets::SetWriter& set,
              BackedUp& backedUp, Reporter& reporter, RunResult& result) {
    bool whole = true;
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
        Stored stored{&list[i], {}, {}};
        std::string target, cause;
        if (!Store(set, path, choices.Zip, reporter, stored.Read, target, cause)) {
            ReportFailure(path, set.Path(), choices.Zip, cause, reporter);
            reporter.FileDone(path, target, false);
            ++result.Failures;
            continue;
        }
        stored.Target = platform::ExtractFileName(target);
        backedUp.push_back(stored);
        // A file that vanished after the archiver read it was read whole.
        if (stored.Read.Size < 0 || AsSearched(list[i], stored.Read)) {
            reporter.FileDone(path, target, true);
            continue;
        }
        whole = Withdraw(set, backedUp, stored.Target, path, choices.Zip, choices.HoldWritten,
                         reporter, result) &&
                whole;
        reporter.FileDone(path, target, false);
    }
    return whole;
}

// A backup's one search, each changed file judged on its own: the files of
// the chosen kinds, in the order Backup takes them; of the other kinds, how
// many changed.
std::vector<Source> SearchChanged(const BackupChoices& choices, BackupResult& result) {
    std::vector<Source> list;
    for (sets::Kind kind : sets::AllKinds) {
        if (choices.Kinds.Has(kind)) {
            CollectFiles(choices.GameDir + sets::KindFolder(kind), list);
            continue;
        }
        std::vector<Source> other;
        CollectFiles(choices.GameDir + sets::KindFolder(kind), other);
        if (!other.empty())
            result.LeftOut.emplace_back(kind, other.size());
    }
    return list;
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

bool ZipFile(const std::string& source, const std::string& archive, std::string& why,
             bool setFlushed) {
    return RunArchiver(ArchiverName,
                       CompressParams(archive, platform::ExtractFileName(source), setFlushed),
                       platform::ExtractFilePath(source), why);
}

bool BackupFile(sets::SetWriter& set, const std::string& source, bool zip, Reporter& reporter,
                platform::FileVersion& read) {
    std::string target, cause;
    const bool ok = Store(set, source, zip, reporter, read, target, cause);
    if (!ok)
        ReportFailure(source, set.Path(), zip, cause, reporter);
    reporter.FileDone(source, target, ok);
    return ok;
}

BackupResult Backup(const BackupChoices& choices, Reporter& reporter) {
    BackupResult result;
    // Another run may be backing up these very changes: what it marked
    // backed up is not looked at again.
    BackupFolderLock lock;
    if (!choices.DryRun && !lock.Take(choices.BackupDir, "Backing Up", reporter)) {
        result.Stopped = true;
        return result;
    }
    // One search: the files to take, as each looked, and the changed ones left out.
    const std::vector<Source> list = SearchChanged(choices, result);
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
    bool whole = StoreAll(list, choices, set, backedUp, reporter, result);
    if (choices.HoldWritten && !result.Stopped)
        whole = HoldStillWritten(set, backedUp, choices.Zip, reporter, result) && whole;
    result.Done = backedUp.size();
    // A set that no file went into is no backup: Restore would list it.
    set.RemoveIfEmpty();
    if (!set.Empty())
        result.NewSet = platform::ExtractFileName(platform::WithoutTrailingDelimiters(setPath));
    // Stopped, or holding a copy it should not: the set keeps its unfinished
    // mark and every source stays changed, for the next backup to take.
    if (result.Stopped || !whole) {
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
