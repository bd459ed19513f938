#pragma once

// The commands that push sets to a remote, pull the other machines' sets
// from it and list what it holds, and the remote setting.

#include "cli/console.h"
#include "cli/options.h"

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

int Push(const Options& options, Console& console);
int Pull(const Options& options, Console& console);
int RemoteSets(const Options& options, Console& console);

// wrap --push and watch --push, after a backup that made a set: every set
// the remote of the setting lacks is pushed, told on standard error (standard
// output is the game's). Returns what the run log says of it; `failed` tells
// whether it failed.
std::string PushAfterBackup(const Options& options, Console& console, bool& failed);

// The remote setting as `settings` shows it: its secrets hidden; none is
// "none" in the text, "" in JSON.
std::string ShownRemoteSetting(bool json);
// `settings set remote VALUE`; "" removes the setting.
int SetRemoteSetting(const std::string& value, Console& console);

// The max-file-size setting (the default when it is not set); none when its
// file can't be read.
std::optional<std::uint64_t> MaxFileSizeSetting();
// `settings set max-file-size SIZE`; "" removes the setting.
int SetMaxFileSizeSetting(const std::string& value, Console& console);

} // namespace cli
