#include "core/restore.h"
#include "sets/set_list.h"

#include "core/checked_copy.h"
#include "launcher/archiver_call.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "settings/backup_config.h"

#include <array>
#include <cstring>

namespace core {
namespace {

// The archive that holds a set file, without the ".zip" the archiver adds.
std::string ArchiveOf(const std::string& source) {
    return platform::ExtractFilePath(source) + ArchiveBaseName(platform::ExtractFileName(source));
}

// The 81-byte owner block: `owner` (cut to 80 bytes), zero-filled.
using OwnerBlock = std::array<unsigned char, 81>;
OwnerBlock MakeOwnerBlock(const std::string& owner) {
    OwnerBlock block{};
    const std::string name = platform::CutUtf8(owner, 80);
    std::memcpy(block.data(), name.data(), name.size());
    return block;
}

// The owner block goes into the new content before it takes the game file's
// place: a restore stopped at any point leaves the old file or the whole new
// one, owner included. The staged file is filled by `fill`.
template <typename Fill>
bool RestoreOwned(const std::string& target, const std::string& owner, Fill fill) {
    const OwnerBlock block = MakeOwnerBlock(owner);
    platform::StagedFile staged;
    return staged.Open(target, false) && fill(staged) &&
           staged.WriteAt(0, block.data(), block.size()) && staged.Commit();
}

// Writes the owner block into a staged copy.
std::function<bool(platform::StagedFile&)> OwnerPatch(const std::optional<std::string>& owner) {
    if (!owner)
        return {};
    return [block = MakeOwnerBlock(*owner)](platform::StagedFile& staged) {
        return staged.WriteAt(0, block.data(), block.size());
    };
}

// Why a copy is refused for its checksum, and what it adds to its message.
const char* const Damaged = "the backup copy is damaged";
const std::string DamagedCopy = std::string(": ") + Damaged;

// Whether the file at `path` (a plain copy or an archive) matches its entry;
// `damaged` when it was read and does not. A hash made ahead serves while the
// file is still the version it was made of. False with the last error set
// when it could not be read.
bool FileMatches(const std::string& path, const ManifestEntry& expected,
                 const platform::HashQueue::Result* ahead, bool& damaged) {
    platform::Sha256Digest digest;
    std::uint64_t size = 0;
    platform::FileVersion now;
    if (ahead && ahead->Ok && ahead->Steady && platform::GetFileVersion(path, now) &&
        now == ahead->Version) {
        digest = ahead->Digest;
        size = ahead->Size;
    } else if (!platform::HashFile(path, digest, size)) {
        return false;
    }
    damaged = !expected.Matches(size, digest);
    return !damaged;
}

// The file a restore or export reads for a set file: itself, or its archive.
std::string ReadPath(const std::string& source, bool zip) {
    return zip ? ArchiveOf(source) + ".zip" : source;
}

// A restore's dry run: each file it would put in place, and each it would
// refuse, checked against the set's checksums as the restore checks it.
RunResult PlanRestore(const std::string& setFolder, const RestoreChoices& choices,
                      Reporter& reporter) {
    RunResult result;
    const Checksums sums = ChecksumsToCheck(setFolder, reporter);
    for (const SetFile& file : SetFiles(setFolder, choices.Kinds, choices.Zip)) {
        const std::string read = ReadPath(file.Source, choices.Zip);
        const ManifestEntry* expected = sums.Find(platform::ExtractFileName(read));
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

std::vector<SetFile> SetFiles(const std::string& setFolder, const KindSet& kinds, bool zip) {
    const std::string gameDir = BackupConfig.GameDir.Get();
    std::vector<SetFile> files;
    for (Kind kind : {Kind::Characters, Kind::Multiplayer})
        if (kinds.Has(kind))
            files.push_back(
                {setFolder + KindFileName(kind), gameDir + KindFolder(kind) + KindFileName(kind)});
    if (kinds.Single) {
        platform::FileSearch search;
        if (search.FindFirst(setFolder + KindFileName(Kind::Single, zip), platform::faAnyFile)) {
            do {
                const std::string& name = search.Rec().Name;
                // An archive game1.zip holds game1.sav.
                const std::string game = zip ? name.substr(0, name.size() - 3) + "sav" : name;
                files.push_back({setFolder + name, gameDir + KindFolder(Kind::Single) + game});
            } while (search.FindNext());
        }
    }
    return files;
}

RunResult TransferSet(const std::string& setFolder, const KindSet& kinds, bool zip,
                      Reporter& reporter, const FileStep& step, const FinishStep& finish,
                      Checksums* sums) {
    RunResult result;
    if (!kinds.Any())
        return result;
    // Where the game's drive keeps no extended attributes, the restored
    // files' clean stamps go to the stamp store in one write, not one each.
    const platform::StampBatch marks;
    const std::vector<SetFile> files = SetFiles(setFolder, kinds, zip);
    if (sums) {
        std::vector<std::string> read;
        for (const SetFile& file : files)
            read.push_back(ReadPath(file.Source, zip));
        sums->HashAhead(read);
    }
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

bool UnzipFile(const std::string& source, const std::string& target) {
    const std::string workDir = platform::ExtractFilePath(target);
    // The archiver extracts into the current folder: without the game's
    // folder it would write into whatever folder happens to be current.
    if (!platform::DirectoryExists(workDir)) {
        platform::SetLastError(platform::ERROR_PATH_NOT_FOUND);
        return false;
    }
    return RunArchiver(ArchiverName, ExtractParams(ArchiveOf(source)), workDir);
}

bool UnzipOwnedFile(const std::string& source, const std::string& target,
                    const std::string& owner) {
    const std::string workDir = platform::ExtractFilePath(target);
    if (!platform::DirectoryExists(workDir)) {
        platform::SetLastError(platform::ERROR_PATH_NOT_FOUND);
        return false;
    }
    // The archive's other files go into the folder as the archiver puts them;
    // the target's comes out of its standard output into the staged file.
    return RestoreOwned(target, owner, [&](platform::StagedFile& staged) {
        return RunArchiver(
                   ArchiverName,
                   ExtractToOutputParams(ArchiveOf(source), platform::ExtractFileName(target)),
                   workDir, staged.Handle()) &&
               staged.Flush(); // as the archiver flushes the files it puts in place
    });
}

bool UpdateOwner(const std::string& fileName, const std::string& owner, Reporter& reporter) {
    const OwnerBlock block = MakeOwnerBlock(owner);
    if (platform::WriteAt(fileName, 0, block.data(), block.size()))
        return true;
    const std::string cause = platform::SysErrorMessage(platform::GetLastError());
    reporter.Message("error updating owner of " + fileName + ": " + cause);
    return false;
}

bool RestoreFile(const std::string& source, const std::string& target, bool zip,
                 const std::optional<std::string>& owner, Reporter& reporter,
                 const Checksums& sums) {
    // What is read for the restore, and checked: the file, or its archive.
    const std::string read = ReadPath(source, zip);
    const ManifestEntry* expected = sums.Find(platform::ExtractFileName(read));
    bool damaged = false;
    bool ok;
    if (zip) {
        reporter.ProgressText("UnZipping " + source + " to " + target);
        // Why the archive could not be read; the archiver says why it failed.
        std::string cause;
        ok = !expected || FileMatches(read, *expected, sums.Ahead(read), damaged);
        if (!ok && !damaged)
            cause = CauseText(platform::GetLastError());
        ok = ok && (owner ? UnzipOwnedFile(source, target, *owner) : UnzipFile(source, target));
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
        options.Patch = OwnerPatch(owner);
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
    const std::string setFolder = SetFolder(choices.SetName);
    if (!choices.Kinds.Any())
        return {};
    if (choices.DryRun)
        return PlanRestore(setFolder, choices, reporter);
    if (choices.Safety &&
        !KeepCurrentSaves(choices.SetName, SetFiles(setFolder, choices.Kinds, choices.Zip),
                          reporter))
        return {0, 1};
    Checksums sums = ChecksumsToCheck(setFolder, reporter);
    return TransferSet(
        setFolder, choices.Kinds, choices.Zip, reporter,
        [&](const std::string& source, const std::string& target) {
            return RestoreFile(source, target, choices.Zip, choices.Owner, reporter, sums);
        },
        [](const std::string&) { return true; }, &sums);
}

bool ExportFile(const std::string& source, const std::string& target, bool zip,
                const std::string& folder, Reporter& reporter, const Checksums& sums,
                Manifest* exported) {
    const std::string from = zip ? WithZipExtension(source) : source;
    // Only the name of the game path is kept: nothing is written into the game.
    const std::string to =
        folder + platform::ExtractFileName(zip ? WithZipExtension(target) : target);

    reporter.ProgressText("Exporting " + from + " to " + to);
    ManifestEntry entry;
    entry.Name = platform::ExtractFileName(to);
    // The medium's copy counts as changed wherever it goes next.
    CopyOptions options;
    options.Expected = sums.Find(platform::ExtractFileName(from));
    options.Ahead = sums.Ahead(from);
    options.Attributes = platform::faArchive;
    options.Got = exported ? &entry : nullptr;
    const CopyCheck copy = CheckedCopy(from, to, options);
    const bool ok = copy == CopyCheck::Copied;
    if (ok) {
        if (exported)
            exported->Put(std::move(entry));
    } else if (copy == CopyCheck::Damaged) {
        reporter.Message("error exporting " + from + " to " + to + DamagedCopy);
    } else {
        reporter.Failure("error exporting " + from + " to " + to,
                         CauseText(platform::GetLastError()));
    }
    reporter.FileDone(from, to, ok);
    return ok;
}

bool CopyDescFile(const std::string& setFolder, const std::string& folder, Reporter& reporter) {
    const std::string source = setFolder + "desc.txt";
    if (!platform::FileExists(source))
        return true;
    const std::string target = folder + "desc.txt";
    if (platform::CopyFile(source, target, false))
        return true;
    reporter.Failure("error copying " + source + " to " + target,
                     CauseText(platform::GetLastError()));
    return false;
}

bool WriteExportManifest(const std::string& folder, const Manifest& exported, Reporter& reporter) {
    if (WriteManifest(folder, exported))
        return true;
    reporter.Message("error writing " + folder + ManifestName + ": " +
                     platform::SysErrorMessage(platform::GetLastError()));
    return false;
}

RunResult Export(const ExportChoices& choices, Reporter& reporter) {
    const std::string setFolder = SetFolder(choices.SetName);
    Checksums sums = choices.Kinds.Any() ? ChecksumsToCheck(setFolder, reporter) : Checksums{};
    Manifest exported;
    return TransferSet(
        setFolder, choices.Kinds, choices.Zip, reporter,
        [&](const std::string& source, const std::string& target) {
            return ExportFile(source, target, choices.Zip, choices.Folder, reporter, sums,
                              &exported);
        },
        [&](const std::string& folder) {
            const bool desc = CopyDescFile(folder, choices.Folder, reporter);
            return WriteExportManifest(choices.Folder, exported, reporter) && desc;
        },
        &sums);
}

} // namespace core
