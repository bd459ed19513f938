#pragma once

// The commands that push sets to a remote, pull the other machines' sets
// from it and list what it holds.

namespace cli {

class Console;
struct Options;

int Push(const Options& options, Console& console);
int Pull(const Options& options, Console& console);
int RemoteSets(const Options& options, Console& console);

} // namespace cli
