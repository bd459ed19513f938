#pragma once

// The checks a folder setting passes before it is stored, shared by the
// Settings dialog and the command line.

#include <optional>
#include <string>

// True when a search for `dir` + "*.*" (`dir` ends with '/') finds any entry
// at all; an existing folder always holds its own "." entry.
bool DirHasEntries(const std::string& dir);

// Why a folder setting is refused: the warning's text and caption.
struct FolderProblem {
    std::string Text;
    std::string Caption;
};

// Each takes the folder as typed and gives it its final separator when it
// lacks one. An empty text passes. The game folder must exist and hold the
// "save" tree; the backup folder must exist unless it was typed with its
// separator (then it is taken as it stands). Neither may exceed 255 bytes.
std::optional<FolderProblem> CheckGameDir(std::string& dir);
std::optional<FolderProblem> CheckBackupDir(std::string& dir);
