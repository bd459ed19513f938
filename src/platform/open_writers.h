#pragma once

// Which files programs still hold open for writing, where the system tells:
// a save the game is still writing is no save to back up yet.

#include <cstdint>
#include <set>
#include <utility>

namespace platform {

// A file by its device and inode, as FileVersion names it.
using FileKey = std::pair<std::uint64_t, std::uint64_t>;

// The files that a process of this user (this one included) holds open for
// writing now: each open descriptor in /proc whose link carries the write
// permission (the kernel gives it the descriptor's access). Wine's
// wineserver holds a descriptor of its own for each file a game has open,
// with the game's access, so a save open in the game shows either way.
// Unseen: other users' processes, one that made itself undumpable, and a
// file written through a mapping whose descriptor is closed. Empty without
// /proc.
std::set<FileKey> FilesOpenForWriting();

} // namespace platform
