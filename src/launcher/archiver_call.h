#pragma once

// Running the archiver, and its command lines.

#include <string>

inline constexpr const char* ArchiverName = "pkzip.exe";

// Runs ExeName with Params minimized in the folder Dir (the child's current
// folder, not this process's) and waits for it, its standard output into the
// descriptor StdOutput when one is given. True only when it started and
// ended with exit code 0; otherwise false, and Why says why in the words the
// user is shown ("File was not found", "pkzip.exe ended with exit code 1").
bool RunArchiver(const std::string& ExeName, const std::string& Params, const std::string& Dir,
                 std::string& Why, int StdOutput = -1);

// -add "ARCHIVE" "FILE", each escaped as the archiver's command-line rules
// need (see platform::QuoteArgument); with `NoSync`, -nosync after them: the
// caller flushes the archive to disk itself
std::string CompressParams(const std::string& Archive, const std::string& FileName,
                           bool NoSync = false);
// -extract -overwrite "ARCHIVE"
std::string ExtractParams(const std::string& Archive);
// -extract -overwrite "ARCHIVE" -console "FILE": FILE to standard output
std::string ExtractToOutputParams(const std::string& Archive, const std::string& FileName);
// -test "ARCHIVE": every entry checked, nothing written
std::string TestParams(const std::string& Archive);
