#pragma once

// The log of the runs nobody watches (the game wrapper, the save watcher):
// one line per run, so that a backup that failed while the user was playing
// can be looked up later.

#include <cstddef>
#include <string>
#include <string_view>

namespace automation {

// The log is kept below this size: when a line would reach it, the oldest
// lines go, keeping the newest half.
inline constexpr std::size_t kRunLogMaxBytes = 1024 * 1024;

// $XDG_STATE_HOME/mfbackup/mfbackup.log, else ~/.local/state/mfbackup/mfbackup.log:
// beside the clean stamps.
std::string RunLogPath();

// Appends "YYYY-MM-DD HH:MM:SS<TAB>command<TAB>outcome" (local time) to the
// log, its folder made when missing. Line breaks and tabs inside `command`
// and `outcome` become blanks, and a line is cut at 4 KiB. Safe against
// other processes writing at the same time. False when it could not be
// written.
bool AppendRunLog(std::string_view command, std::string_view outcome);

} // namespace automation
