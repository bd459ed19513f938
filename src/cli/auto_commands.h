#pragma once

// The backups that happen by themselves: `wrap` runs a game's command and
// backs up once the game and all it started have ended; `watch` backs up a
// while after the game last wrote its saves, however it was started. No one
// watches them: each backup is told in a desktop notification, on standard
// error and in the run log.

namespace cli {

class Console;
struct Options;

// mfbackup-cli wrap [OPTIONS] -- COMMAND [ARG...]: ends with COMMAND's exit
// status whatever the backup came to (127 or 126 when it could not be run).
int Wrap(const Options& options, Console& console);
// mfbackup-cli watch [--quiet SECONDS] [--once]: 0 when stopped by a signal;
// with --once the status of its backup.
int Watch(const Options& options, Console& console);

} // namespace cli
