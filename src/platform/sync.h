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

// Tests: while true, FlushFiles flushes nothing and fails with 1117, as on a
// disk that reports a write error: what must wait for the flush can be seen
// to wait, which a killed process (its writes still in the page cache) can't.
void FailFlushesForTesting(bool fail);

} // namespace platform
