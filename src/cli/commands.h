#pragma once

// mfbackup-cli: the settings loaded as the program loads them, one command
// run on the core, and the exit status.

namespace cli {

inline constexpr int ExitOk = 0;     // everything asked was done
inline constexpr int ExitFailed = 1; // a file (or a step) failed; the rest was done
inline constexpr int ExitUsage = 2;  // usage error, unknown set, missing folder, bad settings

int Main(int argc, char** argv);

} // namespace cli
