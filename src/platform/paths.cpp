#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string WithoutTrailingDelimiters(std::string path) {
    while (path.size() > 1 && path.back() == PathDelim)
        path.pop_back();
    return path;
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

std::string PrintableText(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto code = static_cast<unsigned char>(text[i]);
        const bool c1 = code == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c1)
            code = static_cast<unsigned char>(text[++i]);
        if (code < 0x20 || code == 0x7F || c1) {
            out += "\\x";
            out += hex[code >> 4];
            out += hex[code & 0xF];
        } else {
            out += static_cast<char>(code);
        }
    }
    return out;
}

namespace {

char LowerAsciiChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = LowerAsciiChar(c);
    return lower;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return LowerAsciiChar(x) == LowerAsciiChar(y); });
}

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Every name in folder `dir`, or false when it can't be read.
bool ListFolder(const std::string& dir, std::vector<std::string>& names) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return false;
    while (const dirent* e = ::readdir(d))
        names.emplace_back(e->d_name);
    ::closedir(d);
    return true;
}

// Of several names equal ignoring case the smallest by byte order wins, so
// the answer does not depend on the order the file system lists them in.
void KeepSmallest(std::string& best, std::string_view candidate) {
    if (best.empty() || candidate < best)
        best = candidate;
}

// Listings of large folders kept up to date through inotify. A look-up of a
// name missing as written would otherwise read the whole folder each time:
// copying a thousand new files into one folder read it a thousand times.
// Every change to a watched folder, ours or anyone's, is queued before the
// call that made it returns, so a listing with its events applied is as
// exact as a fresh read. A queue overflow, a removed folder or a forked
// child (which shares the queue) drop the listings.
class FolderListings {
public:
    static constexpr std::size_t kWorthWatching = 128; // entries
    static constexpr std::size_t kMaxFolders = 8;

    // The variant of `name` in the folder with this stat, when it is watched.
    bool Lookup(const struct stat& st, std::string_view name, std::string& found) {
        std::lock_guard lock(mutex_);
        if (!Usable())
            return false;
        Drain();
        Folder* folder = Find(st);
        if (!folder)
            return false;
        folder->lastUse = ++clock_;
        found.clear();
        const auto it = folder->byLower.find(LowerAscii(name));
        if (it != folder->byLower.end())
            for (const std::string& candidate : it->second)
                KeepSmallest(found, candidate);
        return true;
    }

    // Starts watching `dir` and reads it (again) under the watch.
    void Watch(const std::string& dir, const struct stat& st) {
        std::lock_guard lock(mutex_);
        if (!Usable() && !Open())
            return;
        Drain();
        if (Find(st))
            return;
        if (folders_.size() >= kMaxFolders) {
            auto oldest = std::min_element(
                folders_.begin(), folders_.end(),
                [](const Folder& a, const Folder& b) { return a.lastUse < b.lastUse; });
            ::inotify_rm_watch(fd_, oldest->wd);
            folders_.erase(oldest);
        }
        const int wd = ::inotify_add_watch(fd_, dir.empty() ? "." : dir.c_str(),
                                           IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                               IN_DELETE_SELF | IN_ONLYDIR);
        if (wd < 0)
            return;
        // Events from now on are applied after this read, in order: each
        // name ends as its last event left it, which is how it is on disk.
        std::vector<std::string> names;
        struct stat now;
        if (!ListFolder(dir, names) || ::stat(dir.empty() ? "." : dir.c_str(), &now) != 0 ||
            now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
            ::inotify_rm_watch(fd_, wd);
            return;
        }
        Folder folder;
        folder.wd = wd;
        folder.dev = st.st_dev;
        folder.ino = st.st_ino;
        folder.lastUse = ++clock_;
        for (std::string& n : names)
            Add(folder, std::move(n));
        folders_.push_back(std::move(folder));
    }

private:
    struct Folder {
        int wd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        std::uint64_t lastUse = 0;
        std::unordered_map<std::string, std::vector<std::string>> byLower;
    };

    static void Add(Folder& folder, std::string name) {
        auto& variants = folder.byLower[LowerAscii(name)];
        if (std::find(variants.begin(), variants.end(), name) == variants.end())
            variants.push_back(std::move(name));
    }

    static void Remove(Folder& folder, const std::string& name) {
        const auto it = folder.byLower.find(LowerAscii(name));
        if (it == folder.byLower.end())
            return;
        std::erase(it->second, name);
        if (it->second.empty())
            folder.byLower.erase(it);
    }

    bool Usable() {
        if (fd_ >= 0 && owner_ != ::getpid()) {
            // A forked child: the queue is shared with the parent, whose
            // events we must not eat. Start afresh, without the parent's.
            ::close(fd_);
            fd_ = -1;
            folders_.clear();
        }
        return fd_ >= 0;
    }

    bool Open() {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        owner_ = ::getpid();
        return fd_ >= 0;
    }

    Folder* Find(const struct stat& st) {
        for (Folder& f : folders_)
            if (f.dev == st.st_dev && f.ino == st.st_ino)
                return &f;
        return nullptr;
    }

    void Drain() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return; // EAGAIN: nothing more queued
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if (ev->mask & IN_Q_OVERFLOW) {
                    for (const Folder& f : folders_)
                        ::inotify_rm_watch(fd_, f.wd);
                    folders_.clear();
                    continue;
                }
                auto it = std::find_if(folders_.begin(), folders_.end(),
                                       [&](const Folder& f) { return f.wd == ev->wd; });
                if (it == folders_.end())
                    continue;
                if (ev->mask & (IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                    folders_.erase(it);
                    continue;
                }
                const std::string name(ev->name, ::strnlen(ev->name, ev->len));
                if (ev->mask & (IN_CREATE | IN_MOVED_TO))
                    Add(*it, name);
                else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                    Remove(*it, name);
            }
        }
    }

    std::mutex mutex_;
    int fd_ = -1;
    pid_t owner_ = 0;
    std::uint64_t clock_ = 0;
    std::vector<Folder> folders_;
};

FolderListings& Listings() {
    static FolderListings* listings = new FolderListings; // lives as long as the process
    return *listings;
}

// The entry of folder `dir` ("" for the current folder) whose name equals
// `name` ignoring ASCII case; "" when there is none.
std::string FindIgnoringCase(const std::string& dir, std::string_view name) {
    struct stat st;
    if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    std::string best;
    if (Listings().Lookup(st, name, best))
        return best;
    std::vector<std::string> names;
    if (!ListFolder(dir, names))
        return {};
    const std::string lower = LowerAscii(name);
    for (const std::string& entry : names)
        if (entry.size() == name.size() && LowerAscii(entry) == lower)
            KeepSmallest(best, entry);
    if (names.size() >= FolderListings::kWorthWatching)
        Listings().Watch(dir, st);
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

std::string EscapeName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

bool UnescapeName(std::string_view text, std::string& name) {
    name.clear();
    name.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\0')
            return false;
        if (c == '\\') {
            if (++i == text.size())
                return false;
            switch (text[i]) {
            case '\\':
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            default:
                return false;
            }
        }
        name += c;
    }
    return true;
}

} // namespace platform
