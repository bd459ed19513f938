#pragma once

// Files read by descriptor, for work on a file the caller holds open (a copy
// hashed on a thread of its own while the next one is made), and how many
// descriptors such work may hold. A call that can fail returns false (or -1)
// and sets the last error.

#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// How many descriptors may be held open for later (copies waiting to be
// hashed or written to disk, replaced files waiting to be let go of), all of
// them together: a share of what RLIMIT_NOFILE leaves beyond what a run has
// open while it works; 0 under a low limit, where nothing is held.
std::size_t DescriptorsToKeep();

// Opens the regular file at `path` to be read from its start to its end. A
// FIFO, device or folder is refused (5) without blocking; 2 or 3 when it is
// missing. The descriptor, or -1.
int OpenFileToRead(std::string_view path);
// Closes a descriptor opened here or handed over by its opener.
void CloseFile(int fd);
// The version of the open file `fd`; 5 when it is no regular file, whose
// size and times tell nothing of its content.
bool GetOpenFileVersion(int fd, FileVersion& version);
// Shows `sink` the open file `fd` from its start to its end, a block at a
// time; `size` gets the bytes read. The file's offset stays where it was.
bool ReadAllBlocks(int fd, BlockSink& sink, std::uint64_t& size);
// Starts writing what was written to `fd` out to disk without waiting for
// it: a head start for a flush to come.
void StartWritingToDisk(int fd);

} // namespace platform
