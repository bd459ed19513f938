#include "platform/dir_search.h"

#include "platform/attributes.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>

namespace platform {

namespace {

unsigned char Lower(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Classic wildcard match with one back-track point for the last `*`.
bool Match(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

unsigned char Upper(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

// Names sort as NTFS keeps them: compared in upper case, so "_" comes after
// the letters; "." and ".." first. Names equal ignoring case go by their
// bytes so the order never depends on the file system.
bool NameLess(const std::string& a, const std::string& b) {
    const int ra = a == "." ? 0 : a == ".." ? 1 : 2;
    const int rb = b == "." ? 0 : b == ".." ? 1 : 2;
    if (ra != rb)
        return ra < rb;
    const auto diff = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                    [](char x, char y) { return Upper(x) == Upper(y); });
    if (diff.first == a.end() || diff.second == b.end()) {
        if (a.size() != b.size())
            return a.size() < b.size();
        return a < b;
    }
    return Upper(*diff.first) < Upper(*diff.second);
}

} // namespace

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
    // A pattern ending in "." asks for a name without an extension: "*." finds
    // "README" but not "a.txt", "data." finds "data", "*.*." finds what "*."
    // finds. An extension the pattern spells out itself is no extension it
    // lacks: "a.b." finds "a.b". "." and ".." are names without one.
    if (!pattern.empty() && pattern.back() == '.') {
        std::string_view stem = pattern;
        while (!stem.empty() && stem.back() == '.')
            stem.remove_suffix(1);
        if (stem.empty())
            return Match(pattern, name);
        const std::size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || detail::IsDotEntry(name))
            return MatchesWildcard(stem, name);
        const std::string_view extension = name.substr(dot);
        if (stem.size() < extension.size())
            return false;
        const std::string_view spelled = stem.substr(stem.size() - extension.size());
        return spelled.front() == '.' && spelled.find('*') == std::string_view::npos &&
               Match(spelled, extension) &&
               MatchesWildcard(stem.substr(0, stem.size() - spelled.size()), name.substr(0, dot));
    }
    // A trailing ".*" also matches the end of the name: "READ*.*" finds
    // "README", "*.*" and "*.*.*" find every name.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
        MatchesWildcard(pattern.substr(0, pattern.size() - 2), name))
        return true;
    return Match(pattern, name);
}

FileSearch::~FileSearch() {
    FindClose();
}

void FileSearch::FindClose() {
    names_.clear();
    names_.shrink_to_fit();
    folder_.clear();
    next_ = 0;
}

bool FileSearch::FindFirst(std::string_view pattern, std::uint32_t attrMask) {
    FindClose();
    rec_ = SearchRec();
    const std::string folderPart = ExtractFilePath(pattern);
    const std::string namePattern = ExtractFileName(pattern);
    if (namePattern.empty())
        return detail::Fail(ERROR_FILE_NOT_FOUND);
    folder_ = folderPart.empty() ? std::string() : ResolveCase(folderPart);

    DIR* dir = ::opendir(folder_.empty() ? "." : folder_.c_str());
    if (!dir) {
        const int err = errno;
        return detail::Fail(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                            : WinErrorFromErrno(err));
    }
    refused_ = (faHidden | faSysFile | faVolumeID | faDirectory) & ~attrMask;
    while (const dirent* e = ::readdir(dir))
        if (MatchesWildcard(namePattern, e->d_name))
            names_.emplace_back(e->d_name);
    ::closedir(dir);
    std::sort(names_.begin(), names_.end(), NameLess);
    if (!FindNext())
        return detail::Fail(ERROR_FILE_NOT_FOUND);
    return true;
}

bool FileSearch::FindNext() {
    // An entry is looked at when it is reached: a search that stops at its
    // first entry (is there a changed game file?) does not stat a thousand.
    while (next_ < names_.size()) {
        SearchRec rec;
        rec.Name = std::move(names_[next_++]);
        const std::string full = folder_ + rec.Name;
        struct stat st;
        if (::stat(full.c_str(), &st) == 0) {
            rec.Attr = detail::AttributesFromStat(full, rec.Name, st);
            rec.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
            rec.WriteTime = st.st_mtim;
        } else if (::lstat(full.c_str(), &st) == 0) {
            // A link that leads nowhere (dangling, or a loop) is listed as the
            // plain file it looks like; opening it then fails with a clear code.
            rec.Attr = faArchive | (detail::IsDotHidden(rec.Name) ? faHidden : 0);
            rec.WriteTime = st.st_mtim;
        } else {
            continue; // removed since the folder was read
        }
        if (rec.Attr & refused_)
            continue;
        rec_ = std::move(rec);
        return true;
    }
    return detail::Fail(ERROR_NO_MORE_FILES);
}

} // namespace platform
