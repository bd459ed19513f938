#pragma once

// Import: the save files an export left in a folder (the medium) filed as a
// new backup set, described as "Imported: " and the medium's description.

#include "core/checked_copy.h"
#include "core/reporter.h"
#include "sets/kinds.h"
#include "sets/manifest.h"
#include "sets/set_writer.h"

#include <functional>
#include <string>
#include <vector>

namespace core {

// The medium's files of the chosen kinds (every entry "game*.*" that is no
// folder for the single player games), in order; case twins both.
std::vector<std::string> MediumFiles(const std::string& folder, const sets::KindSet& kinds);

// The medium's description: the first line of `folderPath` + "desc.txt"
// (see ReadDescriptionFile); empty when there is none.
std::string ReadDescText(const std::string& folderPath);

// Copies one file of the medium into the set `set` is filling (its archive
// with `zip`), which lists it with the checksum of the bytes copied. A file
// that `sums` (the medium's checksums, see ChecksumsToCheck) lists is checked
// while it is copied and refused when it does not match ("...: the file on
// the medium is damaged"); one whose name the set holds already in another
// letter case is refused too. A failure is reported and false returned.
bool ImportFile(const std::string& source, sets::SetWriter& set, bool zip, Reporter& reporter,
                const Checksums& sums = {});

// Two steps of Import a front end may run through its own routines: reading
// the medium's description, and copying one file into the set being filled.
struct ImportSteps {
    std::function<std::string(const std::string& folderPath)> ReadDesc = ReadDescText;
    std::function<bool(const std::string& source, sets::SetWriter& set, bool zip,
                       Reporter& reporter, const Checksums& sums)>
        CopyIn = ImportFile;
};

struct ImportChoices {
    std::string BackupDir; // ending in '/'
    std::string Folder;    // the medium, ending in '/'
    sets::KindSet Kinds;
    bool Zip = false;
};
// Under the backup folder's lock (see BackupFolderLock). Each file is
// checked against the medium's checksums while it is copied; the
// new set gets its own. A medium with checksums gives only the files they
// list (the others are named in one message, "not part of this export: ...",
// which is no failure); one without gives every file of the chosen kinds. Of
// two names that differ only in letter case the first is imported, the
// second fails. A set that no file went into is removed again, as Backup
// does.
RunResult Import(const ImportChoices& choices, Reporter& reporter, const ImportSteps& steps = {});

} // namespace core
