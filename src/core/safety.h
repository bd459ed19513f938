#pragma once

// The safety set a restore makes first: the game's files it would replace,
// kept so that a mistaken restore can be undone by restoring them.

#include "core/reporter.h"
#include "core/restore.h"

#include <string>
#include <vector>

namespace core {

// How a safety set's description starts; the restored set's name follows.
inline constexpr char SafetySetDescription[] = "Before restoring ";

// Before a restore of `files` from the set `setName` replaces anything: the
// game's files it would replace (the targets that exist) are copied into a
// new set of `backupDir` described "Before restoring <setName>", as plain
// copies or with `zip` as archives (as a backup makes them, so the Restore
// window reads them back), without clearing any archive bit; the set gets its
// checksums and is flushed to disk, then marked finished. The progress
// window "Restoring" shows a "Keeping <file>" line for each. No set is made
// when nothing would be replaced. Each file kept is reported with FileKept
// once the set is whole. When it can't be made whole, the partial set is
// removed, one message says "Could not keep the current saves in a new set:
// <cause>. Nothing was restored." and false is returned: the restore must
// not start.
bool KeepCurrentSaves(const std::string& backupDir, const std::string& setName,
                      const std::vector<SetFile>& files, bool zip, Reporter& reporter);

} // namespace core
