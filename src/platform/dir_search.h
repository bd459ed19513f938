#pragma once

// Directory search as Windows gives it: a wildcard in the last component,
// case-insensitive, "." and ".." where they match, sorted by name ignoring
// case ("." and ".." first), and Delphi's FindFirst attribute filter.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// `*` any run, `?` one character, ASCII case ignored; a trailing ".*" also
// matches the end of the name (so "*.*" matches every name, also one without
// a dot); a pattern ending in "." matches names without an extension.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

struct SearchRec {
    std::string Name;               // bare name
    std::uint32_t Attr = 0;         // as GetFileAttributes
    std::int64_t Size = 0;          // bytes
    struct timespec WriteTime = {}; // last-write time (UTC, as stat gives it)
};

// FindFirst / FindNext; the search is closed when the object is destroyed.
// An entry is returned unless it carries one of hidden, system, volume label
// or directory that `attrMask` lacks. The names are those of the folder when
// FindFirst read it; each entry's attributes are read when it is reached (an
// entry removed by then is passed over).
class FileSearch {
public:
    FileSearch() = default;
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;
    ~FileSearch();

    // Starts a search for `pattern` (a path whose last component may hold
    // wildcards). True when a first entry was found; it is then in Rec().
    // False sets the last error (2 nothing matched, 3 folder missing, ...).
    bool FindFirst(std::string_view pattern, std::uint32_t attrMask);
    // The next entry; false (last error 18) when there is none.
    bool FindNext();
    void FindClose();

    const SearchRec& Rec() const { return rec_; }

private:
    std::string folder_;             // resolved, ending in '/' (or empty)
    std::vector<std::string> names_; // matching, in order
    std::size_t next_ = 0;
    std::uint32_t refused_ = 0;
    SearchRec rec_;
};

} // namespace platform
