#include "core/export.h"

#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/archive_names.h"

namespace core {

bool ExportFile(const std::string& source, const std::string& target, bool zip,
                const std::string& folder, Reporter& reporter, const Checksums& sums,
                sets::Manifest* exported) {
    const std::string from = zip ? sets::WithZipExtension(source) : source;
    // Only the name of the game path is kept: nothing is written into the game.
    const std::string to =
        folder + platform::ExtractFileName(zip ? sets::WithZipExtension(target) : target);

    reporter.ProgressText("Exporting " + from + " to " + to);
    sets::ManifestEntry entry;
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
        reporter.Message("error exporting " + from + " to " + to + ": the backup copy is damaged");
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

bool WriteExportManifest(const std::string& folder, const sets::Manifest& exported,
                         Reporter& reporter) {
    if (sets::WriteManifest(folder, exported))
        return true;
    reporter.Message("error writing " + folder + sets::ManifestName + ": " +
                     platform::SysErrorMessage(platform::GetLastError()));
    return false;
}

RunResult Export(const ExportChoices& choices, Reporter& reporter) {
    RestorePlan plan = choices.Plan;
    plan.Safety = false;
    Checksums sums;
    sets::Manifest exported;
    return RestoreSet(
        plan, reporter, sums,
        [&](const std::string& source, const std::string& target) {
            return ExportFile(source, target, plan.Zip, choices.Folder, reporter, sums, &exported);
        },
        [&](const std::string& folder) {
            const bool desc = CopyDescFile(folder, choices.Folder, reporter);
            return WriteExportManifest(choices.Folder, exported, reporter) && desc;
        });
}

} // namespace core
