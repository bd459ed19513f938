#include "platform/stamp_store.h"

#include "platform/base_folders.h"

#include "platform/attributes.h"
#include "platform/internal.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::string_view kHeader = "mfbackup clean stamps 1\n";
// Some hundred bytes a file: far more files than any save tree holds. A
// larger store is taken as damaged.
constexpr std::size_t kStoreCap = 64u << 20;

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether an entry still tells anything: its file exists and matches it, or
// can't be looked at now (a drive not mounted: its folder is missing).
bool WorthKeeping(const std::string& path, const std::string& value) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        struct stat parent;
        return errno != ENOENT || ::stat(ExtractFilePath(path).c_str(), &parent) != 0;
    }
    return detail::StampFits(value, st);
}

// The store as last read, reread only when its file was replaced: every
// writer renames a new file over it, so an unchanged stat means unchanged
// contents, and a whole backup reads it once.
class Store {
public:
    std::optional<std::string> Find(const std::string& key) {
        std::lock_guard lock(mutex_);
        if (const auto held = held_.find(key); held != held_.end())
            return held->second;
        Refresh(StampStorePath());
        const auto it = entries_.find(key);
        if (it == entries_.end())
            return std::nullopt;
        return it->second;
    }

    // Sets (value given) or removes the entry of `key`; false and last
    // error set when the store can't be written.
    bool Change(const std::string& key, const std::string* value) {
        std::lock_guard lock(mutex_);
        if (batches_ > 0) {
            held_[key] = value ? std::optional<std::string>(*value) : std::nullopt;
            return true;
        }
        return Write({{key, value ? std::optional<std::string>(*value) : std::nullopt}});
    }

    void BeginBatch() {
        std::lock_guard lock(mutex_);
        ++batches_;
    }

    // Writes what the batches held, once the last one ends: the number of
    // stamps that could not be stored (last error set), else 0.
    std::size_t EndBatch() {
        std::lock_guard lock(mutex_);
        if (--batches_ > 0 || held_.empty())
            return 0;
        Changes changes;
        changes.swap(held_);
        if (Write(changes))
            return 0;
        return static_cast<std::size_t>(std::count_if(
            changes.begin(), changes.end(), [](const auto& change) { return change.second; }));
    }

private:
    // Key -> the stamp to set, or nullopt to remove it.
    using Changes = std::map<std::string, std::optional<std::string>>;

    // Applies `changes` to the store file, under its lock. Called locked.
    bool Write(const Changes& changes) {
        const std::string file = StampStorePath();
        ForceDirectories(ExtractFilePath(file));
        // Another instance of the program may write at the same time: one
        // writer at a time, each starting from what the other left.
        const int lockFd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd >= 0)
            ::flock(lockFd, LOCK_EX);
        const bool ok = ChangeLocked(file, changes);
        const int err = errno;
        if (lockFd >= 0)
            ::close(lockFd); // releases the lock
        errno = err;
        return ok || detail::FailErrno(err);
    }

    void Refresh(const std::string& file) {
        struct stat st = {};
        const bool exists = ::stat(file.c_str(), &st) == 0;
        if (loaded_ && file == file_ && exists == exists_ &&
            (!exists || (st.st_dev == stat_.st_dev && st.st_ino == stat_.st_ino &&
                         st.st_size == stat_.st_size && SameTime(st.st_mtim, stat_.st_mtim) &&
                         SameTime(st.st_ctim, stat_.st_ctim))))
            return;
        loaded_ = true;
        file_ = file;
        exists_ = exists;
        stat_ = st;
        entries_.clear();
        std::string text;
        if (exists && static_cast<std::uint64_t>(st.st_size) <= kStoreCap &&
            detail::ReadFileCapped(file, kStoreCap, text))
            entries_ = ParseStampStore(text).value_or(StampEntries{});
    }

    bool ChangeLocked(const std::string& file, const Changes& changes) {
        Refresh(file);
        StampEntries entries = entries_;
        for (const auto& [key, value] : changes) {
            if (value)
                entries[key] = *value;
            else
                entries.erase(key);
        }
        if (!pruned_) {
            // Once a run: entries of files deleted or written since go.
            pruned_ = true;
            std::erase_if(entries, [&](const auto& e) {
                return changes.count(e.first) == 0 && !WorthKeeping(e.first, e.second);
            });
        }
        if (entries == entries_ && exists_)
            return true;

        // A new file renamed over the old one: a reader sees the old store
        // or the new one, never a part of either.
        std::string temp = file + ".XXXXXX";
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0)
            return false;
        const std::string text = FormatStampStore(entries);
        bool ok = true;
        for (std::size_t done = 0; ok && done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
            else if (n == 0)
                errno = EIO;
        }
        ok = ok && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        if (ok && ::rename(temp.c_str(), file.c_str()) != 0)
            ok = false;
        if (!ok) {
            const int failed = errno;
            ::unlink(temp.c_str());
            errno = failed;
            return false;
        }
        // The folder is not synced: a rename lost in a crash leaves the
        // older store, whose stamps can only make files read as changed.
        entries_ = std::move(entries);
        exists_ = ::stat(file.c_str(), &stat_) == 0;
        return true;
    }

    std::mutex mutex_;
    int batches_ = 0;
    Changes held_; // while a batch is open
    bool loaded_ = false;
    bool pruned_ = false;
    std::string file_;
    bool exists_ = false;
    struct stat stat_ = {};
    StampEntries entries_;
};

Store& TheStore() {
    static Store* store = new Store; // lives as long as the process
    return *store;
}

// The key of a file: its full path with links resolved, as the extended
// attribute would follow them to the file itself.
std::optional<std::string> KeyOf(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return std::nullopt;
    std::string key(real);
    std::free(real);
    return key;
}

} // namespace

std::string StampStorePath() {
    return StateFolder() + "/clean-stamps";
}

std::string FormatStampStore(const StampEntries& entries) {
    std::string text(kHeader);
    for (const auto& [path, stamp] : entries)
        text += stamp + '\t' + EscapeName(path) + '\n';
    return text;
}

std::optional<StampEntries> ParseStampStore(std::string_view text) {
    if (text.substr(0, kHeader.size()) != kHeader || text.back() != '\n')
        return std::nullopt;
    StampEntries entries;
    for (std::size_t start = kHeader.size(); start < text.size();) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            return std::nullopt;
        const std::string_view stamp = line.substr(0, tab);
        std::string path;
        if (!ParseCleanStamp(stamp) || !UnescapeName(line.substr(tab + 1), path) || path.empty() ||
            path.front() != PathDelim)
            return std::nullopt;
        entries[std::move(path)] = std::string(stamp);
    }
    return entries;
}

StampBatch::StampBatch() {
    TheStore().BeginBatch();
}

StampBatch::~StampBatch() {
    End();
}

std::size_t StampBatch::End() {
    if (ended_)
        return 0;
    ended_ = true;
    return TheStore().EndBatch();
}

namespace detail {

std::optional<std::string> StoredStamp(const std::string& path) {
    const auto key = KeyOf(path);
    return key ? TheStore().Find(*key) : std::nullopt;
}

bool StoreStamp(const std::string& path, const std::string& stamp) {
    const auto key = KeyOf(path);
    if (!key)
        return FailErrno(errno);
    return TheStore().Change(*key, &stamp);
}

bool ForgetStamp(const std::string& path) {
    const auto key = KeyOf(path);
    if (!key || !TheStore().Find(*key))
        return true; // nothing kept for it
    return TheStore().Change(*key, nullptr);
}

} // namespace detail

} // namespace platform
