#pragma once

// The commands on the settings: show them or change one (the remote and the
// largest file a pull takes, in files of their own beside the settings file),
// and find the game's installations.

namespace cli {

class Console;
struct Options;

// `settings`, and `settings set KEY VALUE`.
int Settings(const Options& options, Console& console);
// Every installation found, as the Settings window's Find lists them.
int Find(const Options& options, Console& console);

} // namespace cli
