#pragma once

// Making written files durable before anything relies on them being on disk.

#include <string>
#include <vector>

namespace platform {

// Flushes the named files and folders (their contents and their directory
// entries) to stable storage, once for all: each file system that holds one
// of them is synchronised a single time. False and last error set when one of
// them can't be opened or its file system reports a write error; the others
// are still flushed.
bool FlushFiles(const std::vector<std::string>& paths);

} // namespace platform
