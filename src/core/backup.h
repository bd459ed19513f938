#pragma once

// The backup: every changed file of the chosen kinds is copied (or
// compressed) into a new backup set and marked backed up.

#include "core/reporter.h"
#include "sets/kinds.h"
#include "sets/set_writer.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace core {

// A file the backup takes, as the search saw it: to tell afterwards whether
// the game wrote it again while the backup ran.
struct Source {
    std::string Path;
    std::int64_t Size = 0;
    struct timespec WriteTime = {};
};

// Whether the first entry matching `pattern` exists and carries the archive
// attribute; with `ignoreArchiveBit`, whether it exists.
bool CanBackup(const std::string& pattern, bool ignoreArchiveBit);
// The test pattern of a kind under the game folder `gameDir`: its file, or
// for single player games the first "game*.sav".
std::string BackupTestPattern(const std::string& gameDir, sets::Kind kind);
// The kinds a backup offers: those whose test pattern passes CanBackup.
sets::KindSet OfferedKinds(const std::string& gameDir, bool ignoreArchiveBit);

// Appends each plain, visible file of `folder` (ending in '/') whose archive
// attribute is set, in the order of the directory search, as that one
// search saw it.
void CollectFiles(const std::string& folder, std::vector<Source>& list);

// Has the archiver add `source` to `archive` (a path without ".zip"), running
// in the source's folder. With `setFlushed` the archiver leaves flushing the
// archive to disk to the caller, who flushes the whole set before relying on
// it; otherwise the archive is on disk when the archiver ends. False, with
// `why` in the words the user is shown, when it failed.
bool ZipFile(const std::string& source, const std::string& archive, std::string& why,
             bool setFlushed = false);
// Where BackupFile puts `source` in the set (a folder ending in '/'): a file
// of its name, or with `zip` its archive (the name up to its first ".").
std::string BackupTarget(const std::string& source, const std::string& setPath, bool zip);
// Copies `source` into the set `set` is filling, or compresses it there with
// `zip` (the archive hashed and flushed with the set). A name the set holds
// already is not replaced. `read` gets the version of the source that was
// backed up (its size -1 when it can't be told). A failure is reported and
// false returned.
bool BackupFile(sets::SetWriter& set, const std::string& source, bool zip, Reporter& reporter,
                platform::FileVersion& read);

struct BackupChoices {
    std::string GameDir;   // ending in '/'
    std::string BackupDir; // ending in '/'
    sets::KindSet Kinds;
    std::string Description;
    bool Zip = false;
    bool DryRun = false; // only report the files that would be backed up
    // When set (from a signal handler, say), the backup stops before its
    // next file: the set is left unfinished and no source is marked.
    const std::atomic<bool>* Stop = nullptr;
    // For a backup that runs while the game may be saving (watch): a source
    // some program of the user still holds open for writing, or written
    // again since the search found it, is left out of the set and stays
    // changed, for a later backup (RunResult::Held); without, one written
    // again before its copy was read whole fails.
    bool HoldWritten = false;
};

// What a backup did, and what its search found changed of the kinds it was
// not asked for: the user hears of saves left behind, as they stood once the
// lock was held.
struct BackupResult : RunResult {
    // Each kind left out that has changed files, with their number, in the
    // order of sets::AllKinds; none when the wait for the lock was given up.
    std::vector<std::pair<sets::Kind, std::size_t>> LeftOut;
};

// The whole backup, under the backup folder's lock (see BackupFolderLock):
// the changed files are looked for once it is held. A source is marked backed up only once every
// copy is on disk and the game has not written it again meanwhile (since the search that found it,
// while it was read, or since). A second source that would land on a file or archive entry this
// backup already wrote fails, and a set that no file went into is removed again; so are sets that
// killed runs left empty (see RemoveStaleSets). A backup stopped (see Stop) or whose wait for the
// lock was given up is Stopped. No copy or archive stays in the set that was not read from the
// version the search saw: it is taken out again (see HoldWritten).
BackupResult Backup(const BackupChoices& choices, Reporter& reporter);

} // namespace core
