#pragma once

// Restore and Export: the chosen kinds of one backup set, put back into the
// game's save tree or copied to a folder on another medium. Both walk the set
// the same way; only what is done with each file, and at the end, differs.

#include "core/checked_copy.h"
#include "core/reporter.h"
#include "sets/kinds.h"
#include "sets/manifest.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace core {

// One file of a set and the game's file it restores.
struct SetFile {
    std::string Source;
    std::string Target;
};

// The files of the chosen kinds of the set in `setFolder` (ending in '/'), in
// the order they are restored: the character list, the multiplayer game, then
// each game file the set holds, by name. With `zip` the game files are their
// archives (an archive game1.zip holds game1.sav); the character list and the
// multiplayer game keep their own names, the archiver's call finds them.
std::vector<SetFile> SetFiles(const std::string& setFolder, const KindSet& kinds, bool zip);

using FileStep = std::function<bool(const std::string& source, const std::string& target)>;
using FinishStep = std::function<bool(const std::string& setFolder)>;

// The walk both share: when a kind is chosen, the progress window "Restoring",
// `step` for each file of SetFiles, `finish` with the set folder, the window
// hidden. A false from a step counts as a failure. With `sums`, the files
// read (the archives with `zip`) are hashed ahead as the walk goes.
RunResult TransferSet(const std::string& setFolder, const KindSet& kinds, bool zip,
                      Reporter& reporter, const FileStep& step, const FinishStep& finish,
                      Checksums* sums = nullptr);

// Extracts the archive of one set file (the source's folder + its name up to
// the first ".", the archiver adds ".zip") into the target's folder. True when
// the archiver ran and succeeded.
bool UnzipFile(const std::string& source, const std::string& target);
// UnzipFile for a restore that writes the owner block: the target's file
// comes out of the archiver into a staged file, gets the block (`owner`,
// zero-filled) at offset 0 and only then replaces the target.
bool UnzipOwnedFile(const std::string& source, const std::string& target, const std::string& owner);
// Writes the 81-byte owner block (`owner`, zero-filled) at offset 0 of an
// existing file. A failure is reported and false returned.
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

// Before a restore of `files` from the set `setName` replaces anything: the
// game's files it would replace (the targets that exist) are copied into a
// new set described "Before restoring <setName>", as plain copies or as
// archives by the current ZipBackups (as a backup makes them, so the Restore
// window reads them back), without clearing any archive bit; the set gets its
// checksums and is flushed to disk. No set is made when nothing would be
// replaced. Each file kept is reported with FileKept once the set is whole.
// When it can't be made whole, the partial set is removed, one message says
// "Could not keep the current saves in a new set: <cause>. Nothing was
// restored." and false is returned: the restore must not start.
bool KeepCurrentSaves(const std::string& setName, const std::vector<SetFile>& files,
                      Reporter& reporter);
// How the description of such a set starts; the restored set's name follows.
inline constexpr char SafetySetDescription[] = "Before restoring ";

struct RestoreChoices {
    std::string SetName; // the set's folder name in the backup folder
    KindSet Kinds;
    bool Zip = false;
    std::optional<std::string> Owner; // written into each restored file when given
    // Only report the files that would be restored, and those that would be
    // refused as damaged (each one a failure).
    bool DryRun = false;
    bool Safety = true; // KeepCurrentSaves first
};
// The restore: the safety set first (see KeepCurrentSaves), then every file,
// each checked against the set's checksums while it is copied.
RunResult Restore(const RestoreChoices& choices, Reporter& reporter);

// Copies one set file to `folder` (ending in '/') under the target's file
// name (as archive with `zip`); the copy carries the archive attribute only.
// A file that `sums` (the set's checksums) lists is checked while it is
// copied and not exported when it does not match; `exported`, when given,
// gets the entry of each file copied, for the medium's own checksums.
bool ExportFile(const std::string& source, const std::string& target, bool zip,
                const std::string& folder, Reporter& reporter, const Checksums& sums = {},
                Manifest* exported = nullptr);
// Copies the set's desc.txt, when it has one, to `folder`.
bool CopyDescFile(const std::string& setFolder, const std::string& folder, Reporter& reporter);
// Writes the medium's checksums: `exported`, the files this export copied to
// `folder`. A failure is reported and false returned.
bool WriteExportManifest(const std::string& folder, const Manifest& exported, Reporter& reporter);

struct ExportChoices {
    std::string SetName;
    KindSet Kinds;
    bool Zip = false;
    std::string Folder; // the medium folder, ending in '/'
};
RunResult Export(const ExportChoices& choices, Reporter& reporter);

} // namespace core
