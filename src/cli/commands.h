#pragma once

// mfbackup-cli: the command line read, the settings loaded as the program
// loads them, one command run, and the exit status (see cli/shared.h).

namespace cli {

int Main(int argc, char** argv);

} // namespace cli
