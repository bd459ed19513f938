#pragma once

// Restore and Export: the chosen kinds of one backup set, put back into the
// game's save tree or copied to a folder on another medium. Both run the one
// sequence of RestoreSet; only what is done with each file, and at the end,
// differs.

#include "core/checked_copy.h"
#include "core/reporter.h"
#include "sets/kinds.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class StagedFile;
}

namespace core {

// One file of a set and the game's file it restores.
struct SetFile {
    std::string Source;
    std::string Target;
};

// The files of the chosen kinds of the set in `setFolder` (ending in '/'), in
// the order they are restored, with their places under `gameDir`: the
// character list, the multiplayer game, then each game file the set holds,
// by name. With `zip` the game files are their archives (an archive
// game1.zip holds game1.sav); the character list and the multiplayer game
// keep their own names, the archiver's call finds them.
std::vector<SetFile> SetFiles(const std::string& setFolder, const std::string& gameDir,
                              const sets::KindSet& kinds, bool zip);

using FileStep = std::function<bool(const std::string& source, const std::string& target)>;
using FinishStep = std::function<bool(const std::string& setFolder)>;

// What a restore or an export takes: a set of the backup folder, the kinds,
// the form its files are read in, and whether the game's files it replaces
// are first kept in a safety set (see KeepCurrentSaves).
struct RestorePlan {
    std::string BackupDir; // ending in '/'
    std::string GameDir;   // ending in '/'
    std::string SetName;
    sets::KindSet Kinds;
    bool Zip = false;       // the set holds archives
    bool Safety = false;    // keep the current saves first
    bool SafetyZip = false; // as archives, as backups are made now
};

// The sequence Restore and Export share. Nothing when no kind is chosen.
// Otherwise, under the backup folder's lock (see BackupFolderLock; Stopped
// when its wait was given up): the safety set first when asked (when it can't be made whole,
// nothing else happens: one failure); the set's checksums into `sums`, its
// files hashed ahead as the walk goes; the progress window "Restoring";
// `step` for each file of SetFiles (a false counts as a failure); `finish`
// with the set folder; the window hidden.
RunResult RestoreSet(const RestorePlan& plan, Reporter& reporter, Checksums& sums,
                     const FileStep& step, const FinishStep& finish);

// Extracts the archive of one set file (the source's folder + its name up to
// the first ".", the archiver adds ".zip") into the target's folder. False,
// with `why` in the words the user is shown ("" when the target's folder is
// missing: the last error says so), when it failed.
bool UnzipFile(const std::string& source, const std::string& target, std::string& why);
// Writes the 81-byte owner block (`owner` cut to 80 bytes, zero-filled) at
// offset 0 of the staged new content of a restored file. False and last
// error set when it can't be written.
bool UpdateOwner(platform::StagedFile& file, const std::string& owner);
// The same block written into the file `fileName` where it is: its content
// with the block replaces it in one step, the file reading as changed, so it
// is the old file or the whole new one. A failure is reported ("error
// updating owner of <file>") and false returned.
bool UpdateOwner(const std::string& fileName, const std::string& owner, Reporter& reporter);
// Restores one file by copying or extracting it and marks it backed up; with
// an `owner`, the owner block is written into the new content before it
// replaces the target (the file then reads as changed), so the target is
// always the old file or the whole new one. A file that `sums` (the set's
// checksums, see ChecksumsToCheck) lists is checked while it is copied, an
// archive before it is extracted: one that does not match is not restored
// ("...: the backup copy is damaged"). False when it failed (reported).
bool RestoreFile(const std::string& source, const std::string& target, bool zip,
                 const std::optional<std::string>& owner, Reporter& reporter,
                 const Checksums& sums = {});

struct RestoreChoices {
    RestorePlan Plan;
    std::optional<std::string> Owner; // written into each restored file when given
    bool DryRun = false;              // only report the files that would be restored
};
// The restore: RestoreSet with RestoreFile for each file. A dry run reports
// each file it would restore, and each whose copy the checksums refuse.
RunResult Restore(const RestoreChoices& choices, Reporter& reporter);

} // namespace core
