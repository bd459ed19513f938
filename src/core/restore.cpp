#include "core/restore.h"

#include "core/backup_folder_lock.h"
#include "core/safety.h"
#include "launcher/archiver_call.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "sets/archive_names.h"
#include "sets/set_list.h"

#include <array>
#include <cstring>

namespace core {

namespace {

// Why a copy is refused for its checksum, and what it adds to its message.
const char* const Damaged = "the backup copy is damaged";
const std::string DamagedCopy = std::string(": ") + Damaged;

// Whether the file at `path` (a plain copy or an archive) matches its entry;
// `damaged` when it was read and does not. A hash made ahead serves while the
// file is still the version it was made of. False with the last error set
// when it could not be read.
bool FileMatches(const std::string& path, const sets::ManifestEntry& expected,
                 const integrity::HashQueue::Result* ahead, bool& damaged) {
    integrity::Sha256Digest digest;
    std::uint64_t size = 0;
    platform::FileVersion now;
    if (ahead && ahead->Ok && ahead->Steady && platform::GetFileVersion(path, now) &&
        now == ahead->Version) {
        digest = ahead->Digest;
        size = ahead->Size;
    } else if (!integrity::HashFile(path, digest, size)) {
        return false;
    }
    damaged = !expected.Matches(size, digest);
    return !damaged;
}

// The game's folder a file is extracted into; false with the last error set
// when it is missing: the archiver would write into whatever folder it ran in.
bool ExtractionFolder(const std::string& target, std::string& workDir) {
    workDir = platform::ExtractFilePath(target);
    if (platform::DirectoryExists(workDir))
        return true;
    platform::SetLastError(platform::ERROR_PATH_NOT_FOUND);
    return false;
}

// UnzipFile for a restore that writes the owner block: the target's file
// comes out of the archiver into a staged file, gets the block and only then
// replaces the target, so a restore stopped at any point leaves the old file
// or the whole new one, owner included.
bool UnzipOwnedFile(const std::string& source, const std::string& target, const std::string& owner,
                    std::string& why) {
    std::string workDir;
    if (!ExtractionFolder(target, workDir))
        return false;
    // The archive's other files go into the folder as the archiver puts them;
    // the target's comes out of its standard output into the staged file.
    platform::StagedFile staged;
    return staged.Open(target, false) &&
           RunArchiver(
               ArchiverName,
               ExtractToOutputParams(sets::ArchiveOf(source), platform::ExtractFileName(target)),
               workDir, why, staged.Handle()) &&
           staged.Flush() && // as the archiver flushes the files it puts in place
           UpdateOwner(staged, owner) && staged.Commit();
}

// A restore's dry run: each file it would put in place, and each it would
// refuse, checked against the set's checksums as the restore checks it.
RunResult PlanRestore(const std::string& setFolder, const RestoreChoices& choices,
                      Reporter& reporter) {
    RunResult result;
    const RestorePlan& plan = choices.Plan;
    const Checksums sums = ChecksumsToCheck(setFolder, reporter);
    for (const SetFile& file : SetFiles(setFolder, plan.GameDir, plan.Kinds, plan.Zip)) {
        const std::string read = sets::ReadPath(file.Source, plan.Zip);
        const sets::ManifestEntry* expected = sums.Find(platform::ExtractFileName(read));
        bool damaged = false;
        if (!expected || FileMatches(read, *expected, nullptr, damaged)) {
            reporter.FilePlanned(file.Source, file.Target);
            continue;
        }
        reporter.FileRefusal(file.Source, file.Target,
                             damaged ? Damaged
                                     : "the backup copy can't be read (" +
                                           CauseText(platform::GetLastError()) + ")");
        ++result.Failures;
    }
    return result;
}

} // namespace

std::vector<SetFile> SetFiles(const std::string& setFolder, const std::string& gameDir,
                              const sets::KindSet& kinds, bool zip) {
    std::vector<SetFile> files;
    for (sets::Kind kind : {sets::Kind::Characters, sets::Kind::Multiplayer})
        if (kinds.Has(kind))
            files.push_back({setFolder + sets::KindFileName(kind),
                             gameDir + sets::KindFolder(kind) + sets::KindFileName(kind)});
    if (kinds.Single) {
        platform::FileSearch search;
        if (search.FindFirst(setFolder + sets::KindFileName(sets::Kind::Single, zip),
                             platform::faAnyFile)) {
            do {
                const std::string& name = search.Rec().Name;
                // An archive game1.zip holds game1.sav.
                const std::string game = zip ? name.substr(0, name.size() - 3) + "sav" : name;
                files.push_back(
                    {setFolder + name, gameDir + sets::KindFolder(sets::Kind::Single) + game});
            } while (search.FindNext());
        }
    }
    return files;
}

RunResult RestoreSet(const RestorePlan& plan, Reporter& reporter, Checksums& sums,
                     const FileStep& step, const FinishStep& finish) {
    RunResult result;
    if (!plan.Kinds.Any())
        return result;
    // The set is read, and the game and the safety set written, while no
    // other run writes or prunes sets.
    BackupFolderLock lock;
    if (!lock.Take(plan.BackupDir, "Restoring", reporter)) {
        result.Stopped = true;
        return result;
    }
    const std::string setFolder = sets::SetFolder(plan.BackupDir, plan.SetName);
    const std::vector<SetFile> files = SetFiles(setFolder, plan.GameDir, plan.Kinds, plan.Zip);
    if (plan.Safety &&
        !KeepCurrentSaves(plan.BackupDir, plan.SetName, files, plan.SafetyZip, reporter))
        return {0, 1, false, {}};
    sums = ChecksumsToCheck(setFolder, reporter);
    // Where the game's drive keeps no extended attributes, the restored
    // files' clean stamps go to the stamp store in one write, not one each.
    const platform::StampBatch marks;
    std::vector<std::string> read;
    for (const SetFile& file : files)
        read.push_back(sets::ReadPath(file.Source, plan.Zip));
    sums.HashAhead(read);
    reporter.ProgressShow("Restoring");
    for (std::size_t i = 0; i < files.size(); ++i) {
        reporter.ProgressStep(i + 1, files.size(), platform::ExtractFileName(files[i].Target));
        if (step(files[i].Source, files[i].Target))
            ++result.Done;
        else
            ++result.Failures;
    }
    reporter.ProgressFlush();
    if (!finish(setFolder))
        ++result.Failures;
    reporter.ProgressHide();
    return result;
}

bool UnzipFile(const std::string& source, const std::string& target, std::string& why) {
    std::string workDir;
    return ExtractionFolder(target, workDir) &&
           RunArchiver(ArchiverName, ExtractParams(sets::ArchiveOf(source)), workDir, why);
}

bool UpdateOwner(platform::StagedFile& file, const std::string& owner) {
    std::array<unsigned char, 81> block{};
    const std::string name = platform::CutUtf8(owner, 80);
    std::memcpy(block.data(), name.data(), name.size());
    return file.WriteAt(0, block.data(), block.size());
}

bool UpdateOwner(const std::string& fileName, const std::string& owner, Reporter& reporter) {
    // A new file in its place: it reads as changed.
    CopyOptions options;
    options.Patch = [&](platform::StagedFile& staged) { return UpdateOwner(staged, owner); };
    if (CheckedCopy(fileName, fileName, options) == CopyCheck::Copied)
        return true;
    reporter.Failure("error updating owner of " + fileName, CauseText(platform::GetLastError()));
    return false;
}

bool RestoreFile(const std::string& source, const std::string& target, bool zip,
                 const std::optional<std::string>& owner, Reporter& reporter,
                 const Checksums& sums) {
    // What is read for the restore, and checked: the file, or its archive.
    const std::string read = sets::ReadPath(source, zip);
    const sets::ManifestEntry* expected = sums.Find(platform::ExtractFileName(read));
    bool damaged = false;
    bool ok;
    if (zip) {
        reporter.ProgressText("UnZipping " + source + " to " + target);
        // Why the archive could not be read; the archiver says why it failed.
        std::string cause;
        std::string why;
        ok = !expected || FileMatches(read, *expected, sums.Ahead(read), damaged);
        if (!ok && !damaged)
            cause = CauseText(platform::GetLastError());
        ok = ok &&
             (owner ? UnzipOwnedFile(source, target, *owner, why) : UnzipFile(source, target, why));
        if (!why.empty())
            reporter.Message(why);
        if (!ok)
            reporter.Failure("error unzipping " + source + " to " + target +
                                 (damaged ? DamagedCopy : std::string()),
                             cause);
        // Read-only, hidden and system are cleared (a failure here does no
        // harm); a file given the owner block reads as changed again, as a
        // write after the restore makes it on Windows.
        if (ok)
            platform::SetFileAttributes(target, owner ? platform::faArchive : 0);
    } else {
        reporter.ProgressText("Copying " + source + " to " + target);
        // Atomic: a failed or refused copy leaves the game's file as it was.
        // It takes its place with its attributes set as above, marked backed
        // up unless it got the owner block.
        CopyOptions options;
        options.Expected = expected;
        options.Ahead = sums.Ahead(read);
        if (owner)
            options.Patch = [&](platform::StagedFile& staged) {
                return UpdateOwner(staged, *owner);
            };
        options.Attributes = owner ? platform::faArchive : 0;
        const CopyCheck copy = CheckedCopy(source, target, options);
        ok = copy == CopyCheck::Copied;
        damaged = copy == CopyCheck::Damaged;
        if (!ok)
            reporter.Failure("error copying " + source + " to " + target +
                                 (damaged ? DamagedCopy : std::string()),
                             damaged ? "" : CauseText(platform::GetLastError()));
    }
    reporter.FileDone(read, target, ok);
    return ok;
}

RunResult Restore(const RestoreChoices& choices, Reporter& reporter) {
    const RestorePlan& plan = choices.Plan;
    if (!plan.Kinds.Any())
        return {};
    if (choices.DryRun)
        return PlanRestore(sets::SetFolder(plan.BackupDir, plan.SetName), choices, reporter);
    Checksums sums;
    return RestoreSet(
        plan, reporter, sums,
        [&](const std::string& source, const std::string& target) {
            return RestoreFile(source, target, plan.Zip, choices.Owner, reporter, sums);
        },
        [](const std::string&) { return true; });
}

} // namespace core
