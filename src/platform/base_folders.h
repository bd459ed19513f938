#pragma once

// The user's folders, named as the XDG base-directory rules name them, and
// the making of the folders a file goes into. Each path is given without a
// trailing '/'.

#include <string>

namespace platform {

// $HOME, else the home folder of the password database; "" when neither.
std::string HomeDirectory();
// $XDG_CONFIG_HOME, $XDG_DATA_HOME, $XDG_STATE_HOME when absolute (the rules
// ignore a relative value), else ~/.config, ~/.local/share, ~/.local/state.
std::string ConfigHome();
std::string DataHome();
std::string StateHome();
// This program's own folder in the state home: ~/.local/state/mfbackup.
std::string StateFolder();

// Makes `dir` (absolute) and each missing folder on the way, private to the
// user as the base-directory rules ask. True when `dir` is a folder at the
// end; false and last error set otherwise.
bool ForceDirectories(const std::string& dir);

} // namespace platform
