#pragma once

// Backup sets: folders "MFB" + hex digits directly in BackupDir, with an
// optional one-line desc.txt.

#include <cstddef>
#include <string>
#include <string_view>

// "MFB" and one to four hex digits, ASCII case ignored: a name
// CreateBackupSet gives (or a set copied from Windows in another case).
bool IsSetName(std::string_view Name);

// Makes a new, empty, uniquely named set folder in BackupDir and writes its
// description (cut to 255 bytes). SetPath gets the folder's path with a
// trailing '/'. False when no set was made (SetPath is then not to be used).
// The current folder stays at BackupDir.
bool CreateBackupSet(const std::string& Description, std::string& SetPath);

// Writes SetPath + "desc.txt": the description and CR LF, whole or not at
// all. Nothing for an empty description. Errors are not reported.
void WriteSetDescription(const std::string& SetPath, const std::string& Description);

// Removes the set folder SetPath (ending in '/') when it holds nothing but
// its desc.txt: a set that no file went into. True when it was removed.
bool RemoveEmptySet(const std::string& SetPath);
// Removes what runs killed before their first file left in BackupDir: set
// folders ("MFB" and one to four hex digits) holding nothing but desc.txt,
// last written more than a minute ago (a set that young may still be filled).
void RemoveStaleSets();

// The first line of BackupDir + SetName + "/desc.txt" (up to CR, Ctrl-Z or the
// end, at most 255 bytes; text that is not UTF-8 is read as Windows-1252).
// Empty when the file is missing or unreadable.
void ReadSetDescription(const std::string& SetName, std::string& Description);

// The first-line rule above, applied to a folder path (ending with '/') +
// "desc.txt". Shared with the import of a medium.
std::string ReadDescriptionFile(const std::string& FolderPath);

// Enough of a first line to judge its encoding and keep 255 bytes of it.
inline constexpr std::size_t DescriptionReadLimit = 4096;
// The description the first bytes of a desc.txt give (the rule above); `head`
// is what a read of at most DescriptionReadLimit bytes got.
std::string DescriptionFromHead(std::string_view head);
