#include "core/import.h"

#include "core/checked_copy.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "sets/backup_set.h"

#include <algorithm>
#include <unordered_map>

namespace core {
namespace {

// Hides the progress window however the import ends.
class ProgressScope {
public:
    ProgressScope(Reporter& reporter, const std::string& caption) : reporter_(reporter) {
        reporter_.ProgressShow(caption);
    }
    ~ProgressScope() { reporter_.ProgressHide(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    Reporter& reporter_;
};

} // namespace

std::vector<std::string> MediumFiles(const std::string& folder, const KindSet& kinds) {
    std::vector<std::string> list;
    for (Kind kind : {Kind::Characters, Kind::Multiplayer})
        if (kinds.Has(kind))
            list.push_back(folder + KindFileName(kind));
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

bool ImportFile(const std::string& source, const std::string& setFolder, bool zip,
                Reporter& reporter, const Checksums& sums, Manifest* imported) {
    const std::string folder = platform::ExtractFilePath(source);
    std::string name = platform::ExtractFileName(source);
    if (zip)
        name = WithZipExtension(name);

    reporter.ProgressText("copying " + folder + name + " to " + setFolder + name);
    CopyOptions options;
    options.Expected = sums.Find(name);
    options.Ahead = sums.Ahead(folder + name);
    ManifestEntry entry;
    entry.Name = name;
    options.Got = imported ? &entry : nullptr;
    const CopyCheck copy = CheckedCopy(folder + name, setFolder + name, options);
    const bool ok = copy == CopyCheck::Copied;
    if (ok && imported)
        imported->Put(std::move(entry));
    if (copy == CopyCheck::Damaged)
        reporter.Message("Error copying " + folder + name + " to " + setFolder + name +
                         ": the file on the medium is damaged");
    else if (!ok)
        reporter.Failure("Error copying " + folder + name + " to " + setFolder + name,
                         CauseText(platform::GetLastError()));
    reporter.FileDone(folder + name, setFolder + name, ok);
    return ok;
}

RunResult Import(const ImportChoices& choices, Reporter& reporter) {
    RunResult result;
    const ProgressScope progress(reporter, "Importing file");
    const std::vector<std::string> list = MediumFiles(choices.Folder, choices.Kinds);

    const std::string description = ReadDescriptionFile(choices.Folder);
    RemoveStaleSets();
    std::string setPath;
    // The set's description is cut to 255 bytes by CreateBackupSet.
    if (!CreateBackupSet("Imported: " + description, setPath)) {
        result.Failures = 1;
        return result;
    }
    Checksums sums = ChecksumsToCheck(choices.Folder, reporter);
    // The files read. The checksums list what the export that wrote them
    // left: another export into the same folder may have left more.
    std::vector<std::string> read;
    std::vector<std::string> strangers;
    for (const std::string& file : list) {
        const std::string path = choices.Zip ? WithZipExtension(file) : file;
        const std::string name = platform::ExtractFileName(path);
        if (!sums.Read() || sums.Find(name))
            read.push_back(path);
        else if (std::find(strangers.begin(), strangers.end(), name) == strangers.end())
            strangers.push_back(name);
    }
    if (!strangers.empty()) {
        std::string joined;
        for (const std::string& name : strangers)
            joined += (joined.empty() ? "" : ", ") + name;
        reporter.Message("not part of this export: " + joined);
    }
    sums.HashAhead(read);
    // The set's checksums are those of the bytes copied, worked out as they
    // were copied.
    Manifest imported;
    std::unordered_map<std::string, std::string> names; // ASCII lower case -> as taken
    for (std::size_t i = 0; i < read.size(); ++i) {
        const std::string name = platform::ExtractFileName(read[i]);
        reporter.ProgressStep(i + 1, read.size(), name);
        // A case twin (GAME1.SAV beside game1.sav) would replace the first
        // one's copy: the set keeps the first.
        const auto [taken, added] = names.try_emplace(platform::LowerAscii(name), name);
        if (!added && taken->second != name) {
            reporter.Failure("Error copying " + read[i] + " to " + setPath + name,
                             CauseText(platform::ERROR_FILE_EXISTS));
            reporter.FileDone(read[i], setPath + name, false);
            ++result.Failures;
        } else if (ImportFile(read[i], setPath, choices.Zip, reporter, sums, &imported)) {
            ++result.Done;
        } else {
            ++result.Failures;
        }
    }
    // A set that no file went into is no backup: Restore would list it.
    if (result.Done == 0) {
        RemoveEmptySet(setPath);
        return result;
    }
    reporter.ProgressFlush();
    // The checksums, then one flush of the copies with them (see
    // SetWriter::Finish).
    if (!WriteManifest(setPath, imported, false)) {
        reporter.Message("error writing " + setPath + ManifestName + ": " +
                         platform::SysErrorMessage(platform::GetLastError()));
        ++result.Failures;
    } else if (!platform::FlushFiles({setPath})) {
        reporter.Message("error writing " + setPath +
                         " to disk: " + platform::SysErrorMessage(platform::GetLastError()));
        ++result.Failures;
    } else if (!MarkSetFinished(setPath)) {
        reporter.Message("error marking " + setPath +
                         " finished: " + platform::SysErrorMessage(platform::GetLastError()));
        ++result.Failures;
    }
    return result;
}

} // namespace core
