#include "settings/folder_checks.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/paths.h"
#include "settings/backup_config.h"

namespace {

const char* const ValidationError = "Validation Error";

// A longer text would be stored cut, naming another folder.
std::optional<FolderProblem> TooLong(const std::string& dir) {
    if (dir.size() <= ShortString::Capacity)
        return std::nullopt;
    return FolderProblem{"Directory name too long (at most 255 characters)", ValidationError};
}

// Appends the separator; true when it was missing.
bool CompleteFolder(std::string& dir) {
    if (dir.back() == platform::PathDelim)
        return false;
    dir += platform::PathDelim;
    return true;
}

const FolderProblem NotFound{"Could not find this directory", ValidationError};

} // namespace

bool DirHasEntries(const std::string& dir) {
    platform::FileSearch search;
    const bool found = search.FindFirst(dir + "*.*", platform::faAnyFile);
    search.FindClose();
    return found;
}

std::optional<FolderProblem> CheckGameDir(std::string& dir) {
    if (dir.empty())
        return std::nullopt;
    CompleteFolder(dir);
    if (auto problem = TooLong(dir))
        return problem;
    if (!DirHasEntries(dir))
        return NotFound;
    const std::string pattern = dir + "save/*.*";
    platform::FileSearch search;
    if (!search.FindFirst(pattern, platform::faAnyFile))
        return FolderProblem{"Moonforge save directory not found (" + pattern + ").",
                             "Validation error"};
    return std::nullopt;
}

std::optional<FolderProblem> CheckBackupDir(std::string& dir) {
    if (dir.empty())
        return std::nullopt;
    const bool appended = CompleteFolder(dir);
    if (auto problem = TooLong(dir))
        return problem;
    if (appended && !DirHasEntries(dir))
        return NotFound;
    return std::nullopt;
}
