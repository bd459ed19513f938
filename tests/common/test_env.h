#pragma once

#include <string>

namespace testenv {

// The per-process sandbox made by the test main before any test runs
// (XDG_DATA_HOME and XDG_STATE_HOME point below its home too).
// Each CTest test is its own process, so each test gets fresh folders.
const std::string& Home();       // $HOME, ends without '/'
const std::string& ConfigHome(); // $XDG_CONFIG_HOME
const std::string& WinePrefix(); // $WINEPREFIX (the folder exists, empty)
const std::string& Scratch();    // a further empty folder for the test's own use

// Writes `bytes` to `path`, creating parent folders; fails the test on error.
void WriteFile(const std::string& path, const std::string& bytes);
// The whole content of `path`; empty when it can't be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

} // namespace testenv
