#pragma once

// Backup sets: folders "MFB" + hex digits directly in BackupDir, with an
// optional one-line desc.txt.

#include <cstddef>
#include <string>
#include <string_view>

namespace sets {

// "MFB" and one to four hex digits, ASCII case ignored: a name
// CreateBackupSet gives (or a set copied from Windows in another case).
bool IsSetName(std::string_view Name);

// The hidden file that marks a set unfinished, from its making to the last
// step of the run that fills it: a set that holds it was left by a run that
// stopped half way (or is still being made), and its files may be
// incomplete. Hidden, like the manifest, so that no pattern of a save file
// takes it.
inline constexpr const char* UnfinishedName = ".mfbackup-unfinished";

// The hidden file of a set pulled from a remote: one line, "MACHINE/SET",
// the machine and the set it is a copy of. It says where the set came from,
// so that it is pulled once and never pushed under this machine's name. Like
// desc.txt it is no save file and is not in the set's checksums.
inline constexpr const char* OriginName = ".mfbackup-origin";

// Makes a new, uniquely named set folder in BackupDir (ending in '/'), marked
// unfinished, and writes its description (cut to 255 bytes). SetPath gets
// the folder's path with a trailing '/'. False when no set was made (SetPath
// is then not to be used), with Why saying so in the words the user is shown.
// Without `flush` the mark is not flushed: the caller flushes the set's file
// system before anything goes into it (once for many sets).
bool CreateBackupSet(const std::string& BackupDir, const std::string& Description,
                     std::string& SetPath, std::string& Why, bool flush = true);
// The run's last step on its set: removes the mark, on disk before it
// returns (without `flush`, once the caller flushed the set's file system).
// False and last error set when it can't be removed.
bool MarkSetFinished(const std::string& SetPath, bool flush = true);
// Whether the set folder SetPath (ending in '/') is marked unfinished.
bool IsSetUnfinished(const std::string& SetPath);

// The origin of the set folder SetPath (ending in '/'): the first line of its
// OriginName file, "" when it has none (a set made here) or it can't be read.
std::string ReadSetOrigin(const std::string& SetPath);

// Writes SetPath + "desc.txt": the description and CR LF, whole or not at
// all, flushed unless `flush` is false. Nothing for an empty description.
// Errors are not reported.
void WriteSetDescription(const std::string& SetPath, const std::string& Description,
                         bool flush = true);

// Removes the set folder SetPath (ending in '/') when it holds nothing but
// its desc.txt, its origin and its mark: a set that no file went into. True
// when it was removed.
bool RemoveEmptySet(const std::string& SetPath);
// Removes what runs killed before their first file left in BackupDir: set
// folders ("MFB" and one to four hex digits, no link) marked unfinished and
// holding nothing else but desc.txt and an origin, last written more than a minute ago (a
// set that young may still be filled). A folder without the mark was not
// made by this program (or by an older version): it stays, empty or not.
void RemoveStaleSets(const std::string& BackupDir);

// The first line of BackupDir + SetName + "/desc.txt" (up to CR, Ctrl-Z or the
// end, at most 255 bytes; text that is not UTF-8 is read as Windows-1252).
// Empty when the file is missing or unreadable.
void ReadSetDescription(const std::string& BackupDir, const std::string& SetName,
                        std::string& Description);

// The first-line rule above, applied to a folder path (ending with '/') +
// "desc.txt". Shared with the import of a medium.
std::string ReadDescriptionFile(const std::string& FolderPath);

// Enough of a first line to judge its encoding and keep 255 bytes of it.
inline constexpr std::size_t DescriptionReadLimit = 4096;
// The description the first bytes of a desc.txt give (the rule above); `head`
// is what a read of at most DescriptionReadLimit bytes got.
std::string DescriptionFromHead(std::string_view head);

} // namespace sets
