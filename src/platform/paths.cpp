#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace platform {

std::string ExtractFilePath(std::string_view path) {
    const auto pos = path.rfind(PathDelim);
    return pos == std::string_view::npos ? std::string() : std::string(path.substr(0, pos + 1));
}

std::string ExtractFileName(std::string_view path) {
    const auto pos = path.rfind(PathDelim);
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != PathDelim)
        result += PathDelim;
    return result;
}

std::string CutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return std::string(text);
    std::size_t cut = maxBytes;
    // A UTF-8 sequence is at most four bytes: step back over at most three
    // continuation bytes to the start of the sequence that would be split.
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i)
        --cut;
    return std::string(text.substr(0, cut));
}

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The entry of folder `dir` ("" for the current folder) whose name equals
// `name` ignoring ASCII case; "" when there is none. Of several candidates
// the smallest by byte order wins, so the answer does not depend on the
// order the file system lists them in.
std::string FindIgnoringCase(const std::string& dir, std::string_view name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return {};
    std::string best;
    while (const dirent* e = ::readdir(d)) {
        std::string_view entry(e->d_name);
        if (EqualIgnoringAsciiCase(entry, name) && (best.empty() || entry < best))
            best = entry;
    }
    ::closedir(d);
    return best;
}

} // namespace

std::string ResolveCase(std::string_view path) {
    std::string whole(path);
    if (whole.empty() || Exists(whole))
        return whole;

    // Split into components, remembering where each one ends in `whole`.
    struct Component {
        std::size_t begin, end;
    };
    std::vector<Component> parts;
    for (std::size_t i = 0; i < whole.size();) {
        if (whole[i] == PathDelim) {
            ++i;
            continue;
        }
        const std::size_t end = std::min(whole.find(PathDelim, i), whole.size());
        parts.push_back({i, end});
        i = end;
    }

    // The longest leading part that exists as written needs no look-up; the
    // whole path is known not to.
    std::size_t first = parts.empty() ? 0 : parts.size() - 1;
    while (first > 0 && !Exists(whole.substr(0, parts[first - 1].end)))
        --first;

    std::string result = first > 0 ? whole.substr(0, parts[first - 1].end)
                                   : whole.substr(0, parts.empty() ? 0 : parts[0].begin);
    for (std::size_t k = first; k < parts.size(); ++k) {
        const std::string_view name(whole.data() + parts[k].begin, parts[k].end - parts[k].begin);
        const std::size_t sepBegin = k == 0 ? parts[0].begin : parts[k - 1].end;
        const std::string sep = whole.substr(sepBegin, parts[k].begin - sepBegin);
        std::string asWritten = result + sep + std::string(name);
        // Component `first` is known to be missing as written, unless the
        // path had a trailing separator; later ones come after a look-up.
        const bool knownMissing =
            k == first && k + 1 == parts.size() && parts[k].end == whole.size();
        if (name == "." || name == ".." || (!knownMissing && Exists(asWritten))) {
            result = std::move(asWritten);
            continue;
        }
        const std::string found = FindIgnoringCase(result, name);
        if (found.empty()) {
            // Missing in every case: keep this and the rest as written.
            return result + whole.substr(sepBegin);
        }
        result += sep + found;
    }
    return result + whole.substr(parts.empty() ? 0 : parts.back().end);
}

} // namespace platform
