#pragma once

// The backup: every changed file of the chosen kinds is copied (or
// compressed) into a new backup set and marked backed up.

#include "core/reporter.h"
#include "sets/kinds.h"
#include "sets/set_writer.h"

#include <string>
#include <vector>

namespace core {

// Whether the first entry matching `pattern` exists and carries the archive
// attribute; with `ignoreArchiveBit`, whether it exists.
bool CanBackup(const std::string& pattern, bool ignoreArchiveBit);
// The test pattern of a kind under the game folder: its file, or for single
// player games the first "game*.sav".
std::string BackupTestPattern(Kind kind);
// The kinds a backup offers: those whose test pattern passes CanBackup.
KindSet OfferedKinds(bool ignoreArchiveBit);

// The changed files of one kind, each judged on its own as Backup takes them,
// not through the kind's test pattern.
std::vector<std::string> ChangedFiles(Kind kind);

// Appends `folder` + name for each plain, visible file of `folder` (ending
// in '/') whose archive attribute is set, in the order of the directory
// search.
void CollectFiles(const std::string& folder, std::vector<std::string>& list);

// Has the archiver add `source` to `archive` (a path without ".zip"), running
// in the source's folder. With `setFlushed` the archiver leaves flushing the
// archive to disk to the caller, who flushes the whole set before relying on
// it; otherwise the archive is on disk when the archiver ends.
bool ZipFile(const std::string& source, const std::string& archive, bool setFlushed = false);
// Where BackupFile puts `source` in the set (a folder ending in '/'): a file
// of its name, or with `zip` its archive (the name up to its first ".").
std::string BackupTarget(const std::string& source, const std::string& setPath, bool zip);
// Copies `source` into the set, or compresses it there with `zip`. A plain
// copy never replaces a file already in the set. A failure is reported and
// false returned.
bool BackupFile(const std::string& source, const std::string& setPath, bool zip,
                Reporter& reporter);

// BackupFile into the set `set` is filling: a plain copy through it, or an
// archive it hashes and flushes with the set. `read` gets the version of the
// source that was backed up (its size -1 when it can't be told). A failure
// is reported and false returned.
bool BackupInto(SetWriter& set, const std::string& source, bool zip, Reporter& reporter,
                platform::FileVersion& read);

struct BackupChoices {
    KindSet Kinds;
    std::string Description;
    bool Zip = false;
    bool DryRun = false; // only report the files that would be backed up
};

// The whole backup. A source is marked backed up only once every copy is on
// disk and the game has not written it again meanwhile (since the search that
// found it, while it was read, or since). A second source that
// would land on a file or archive entry this backup already wrote fails, and
// a set that no file went into is removed again; so are sets that killed
// runs left empty (see RemoveStaleSets).
RunResult Backup(const BackupChoices& choices, Reporter& reporter);

} // namespace core
