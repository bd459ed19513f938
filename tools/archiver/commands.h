#pragma once

// The archiver's commands, callable without a process of their own.

#include <optional>
#include <string_view>
#include <vector>

namespace archiver {

// Extracts every file of ARCHIVE.zip into the current folder, all or nothing,
// except `console`, which goes to standard output; throws Failure (one line
// for the user) when it refuses or fails.
void Extract(std::string_view archiveArg, std::optional<std::string_view> console = {});

// Reads every entry of ARCHIVE.zip as Extract would and checks its size and
// CRC, writing nothing; throws Failure naming the first damaged entry.
void Test(std::string_view archiveArg);

// The whole program: runs the command `args` (without the program name) asks
// for and returns the exit code, having printed the usage text or the one
// line of a failure.
int Run(const std::vector<std::string_view>& args);

} // namespace archiver
