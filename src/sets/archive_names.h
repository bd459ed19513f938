#pragma once

// The names a set's files carry as archives. Backup and restore name an
// archive after its file up to the first "." (game1.sav and game1.bak share
// game1.zip), the archiver adding ".zip"; export and import swap the last
// extension for "zip".

#include <string>

namespace sets {

// The archive a file is held in, without the ".zip" the archiver adds: the
// file name up to its first "." (the whole name when it has none).
std::string ArchiveBaseName(const std::string& fileName);
// The archive of the file `path` in its own folder, without ".zip": the
// folder + ArchiveBaseName of its name.
std::string ArchiveOf(const std::string& path);
// The file a restore or export reads for the set file `path`: itself, or
// with `zip` its archive (ArchiveOf + ".zip").
std::string ReadPath(const std::string& path, bool zip);
// `path` with the extension of its file name replaced by "zip": the name up
// to and including its last "." and "zip"; a name without "." becomes "zip".
std::string WithZipExtension(const std::string& path);

} // namespace sets
