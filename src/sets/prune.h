#pragma once

// Pruning: the oldest backup sets removed so that a number of them remain.
// Only what is surely a set goes: a folder named as CreateBackupSet names
// one, holding no folder and no file a set never holds.

#include "sets/backup_set.h"
#include "sets/manifest.h"
#include "sets/set_list.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sets {

// Whether a set may hold a file of this bare name (ASCII case ignored):
// desc.txt; the manifest and every name it lists; the unfinished mark and
// the origin of a pulled set; the
// save files of each kind and their archives (characters.lpl, net.sav,
// game*.sav, characters.zip, net.zip, game*.zip); and what a copy or the
// archiver stopped half way leaves (".mfcopy-*", ".pkzip-*").
bool IsSetFileName(std::string_view name, const Manifest& manifest);

// Removes the set folder `folder` (ending in '/') with its files, when it
// holds nothing a set does not (see IsSetFileName). False with `why` (one
// line) when it holds something else or a removal fails.
bool RemoveSetFolder(const std::string& folder, std::string& why);

enum class PruneOutcome {
    Removed,
    WouldRemove, // a dry run
    Kept,        // not surely a set, or holding what a set does not: left whole
    KeptCopy,    // holding the newest good copy of a save that no newer set holds
    Failed,      // removing it failed part way
};

struct PruneStep {
    SetEntry Set;
    PruneOutcome Outcome;
    std::string Why; // for Kept, KeptCopy and Failed, one line
};

// Takes the sets of `backupDir` (ending in '/'), oldest first (as SetsByDate), and
// removes all but `keep` of them, each folder with the files it holds, or
// with `dryRun` only checks them. A set holding the newest good copy of a
// save file (by its name; an archive stands for the save it holds) that no
// newer set holds stays, whatever its age: those sets remain, and as many of
// the newest others as make `keep` in all. A good copy is one of a finished
// set made here (not pulled) that matches the set's checksums by size and
// SHA-256; a copy is read only while no newer good copy of its save was
// found. A set without checksums holding a copy newer than any good one
// stays too (nothing proves that copy damaged). The step of a set kept so
// says which saves, and for each the newer copy that did not count and why.
// A folder that is not surely a set is kept, and is not replaced by a newer
// one: more than `keep` then remain. One step per set taken up, oldest
// first: each set removed or kept that is not among the newest `keep`.
std::vector<PruneStep> Prune(const std::string& backupDir, std::size_t keep, bool dryRun);

} // namespace sets
