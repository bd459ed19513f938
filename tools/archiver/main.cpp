// pkzip.exe: the archiver of Moonforge Backup Tool. The backup program runs it
// once per save file, by that name, with one of these command lines:
//
//   pkzip.exe -add ARCHIVE FILE [-nosync]  FILE (from the current folder) into ARCHIVE.zip
//                                          (-nosync: not flushed, the caller flushes it)
//   pkzip.exe -extract -overwrite ARCHIVE  every file of ARCHIVE.zip into the current folder
//   ... -extract -overwrite ARCHIVE -console FILE
//                                          the same, but FILE to standard output (a restore
//                                          that writes the owner block before the file is
//                                          put in place)
//   pkzip.exe -test ARCHIVE                every entry of ARCHIVE.zip checked, nothing written
//
// It never asks anything. Exit code 0 on success; otherwise one line on
// standard error and exit code 1 (2 for bad arguments).
//
// Extraction is all or nothing: every entry name and type is checked first
// (bare file names only; no folders, "..", symbolic links or devices), then
// every entry is inflated into a temporary file in the current folder and its
// size and CRC are checked, and only when all are sound are they renamed over
// the old files. The archive itself is likewise written beside itself and
// renamed into place.

#include "commands.h"

#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    return archiver::Run(std::vector<std::string_view>(argv + 1, argv + argc));
}
