#pragma once

// Running the archiver, and its command lines.

#include <string>

inline constexpr const char* ArchiverName = "pkzip.exe";

// Makes Dir current, runs ExeName with Params minimized and waits for it,
// its standard output into the descriptor StdOutput when one is given.
// True only when it started and ended with exit code 0; otherwise the reason
// is shown in a message box and false returned.
bool RunArchiver(const std::string& ExeName, const std::string& Params, const std::string& Dir,
                 int StdOutput = -1);

// The archive a file is held in, without the ".zip" the archiver adds: the
// file name up to its first "." (the whole name when it has none).
std::string ArchiveBaseName(const std::string& FileName);

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
