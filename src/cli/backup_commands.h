#pragma once

// The commands that carry saves: backup into a new set, restore a set (and
// undo the last restore), export a set to a folder, import one from it.

namespace cli {

class Console;
struct Options;

int Backup(const Options& options, Console& console);
int Restore(const Options& options, Console& console);
int Undo(const Options& options, Console& console);
int Export(const Options& options, Console& console);
int Import(const Options& options, Console& console);

} // namespace cli
