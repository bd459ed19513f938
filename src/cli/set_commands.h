#pragma once

// The commands on the sets of the backup folder: list them, verify them
// against their checksums, prune the oldest.

namespace cli {

class Console;
struct Options;

int List(const Options& options, Console& console);
int Verify(const Options& options, Console& console);
int Prune(const Options& options, Console& console);

} // namespace cli
