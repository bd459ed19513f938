#pragma once

// Export: the chosen files of a set, with its description and their
// checksums, copied into a folder on another medium.

#include "core/checked_copy.h"
#include "core/reporter.h"
#include "core/restore.h"
#include "sets/manifest.h"

#include <string>

namespace core {

// Copies one set file to `folder` (ending in '/') under the target's file
// name (as archive with `zip`); the copy carries the archive attribute only.
// A file that `sums` (the set's checksums) lists is checked while it is
// copied and not exported when it does not match; `exported`, when given,
// gets the entry of each file copied, for the medium's own checksums.
bool ExportFile(const std::string& source, const std::string& target, bool zip,
                const std::string& folder, Reporter& reporter, const Checksums& sums = {},
                sets::Manifest* exported = nullptr);
// Copies the set's desc.txt, when it has one, to `folder`.
bool CopyDescFile(const std::string& setFolder, const std::string& folder, Reporter& reporter);
// Writes the medium's checksums: `exported`, the files this export copied to
// `folder`. A failure is reported and false returned.
bool WriteExportManifest(const std::string& folder, const sets::Manifest& exported,
                         Reporter& reporter);

struct ExportChoices {
    RestorePlan Plan;   // no safety set: nothing of the game is replaced
    std::string Folder; // the medium folder, ending in '/'
};
// The export: RestoreSet with ExportFile for each file, then the set's
// desc.txt and the medium's checksums.
RunResult Export(const ExportChoices& choices, Reporter& reporter);

} // namespace core
