#include "core/import.h"

#include "core/checked_copy.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "storage/backup_set.h"

#include <algorithm>

namespace core {
namespace {

void AddOnce(std::vector<std::string>& list, const std::string& path) {
    const bool held = std::any_of(list.begin(), list.end(), [&](const std::string& item) {
        // The bytes, not a text conversion: a name that is not
        // UTF-8 must not look like another one.
        return platform::EqualIgnoringAsciiCase(item, path);
    });
    if (!held)
        list.push_back(path);
}

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
            AddOnce(list, folder + KindFileName(kind));
    if (kinds.Single) {
        platform::FileSearch search;
        if (search.FindFirst(folder + "game*.*", platform::faAnyFile)) {
            do {
                if (!(search.Rec().Attr & platform::faDirectory))
                    AddOnce(list, folder + search.Rec().Name);
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
    if (!ok)
        reporter.Message("Error copying " + folder + name + " to " + setFolder + name +
                         (copy == CopyCheck::Damaged ? ": the file on the medium is damaged" : ""));
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
    std::vector<std::string> read;
    for (const std::string& file : list)
        read.push_back(choices.Zip ? WithZipExtension(file) : file);
    sums.HashAhead(read);
    // The set's checksums are those of the bytes copied, worked out as they
    // were copied.
    Manifest imported;
    for (std::size_t i = 0; i < list.size(); ++i) {
        reporter.ProgressStep(i + 1, list.size(), platform::ExtractFileName(list[i]));
        if (ImportFile(list[i], setPath, choices.Zip, reporter, sums, &imported))
            ++result.Done;
        else
            ++result.Failures;
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
