#include "platform/save_watch.h"

#include "platform/files.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
constexpr std::uint32_t kWritten = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
constexpr std::uint32_t kNewFolder = IN_CREATE | IN_MOVED_TO;

bool HoldsAnything(const std::string& path) {
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return false;
    bool any = false;
    while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    ::closedir(d);
    return any;
}

std::string Parent(const std::string& path) {
    return WithoutTrailingDelimiters(ExtractFilePath(path));
}

// What a folder is watched for.
struct Wanted {
    bool Target = false;
    bool Ancestor = false;
    bool Settings = false;
    bool operator==(const Wanted&) const = default;
};

// Each folder to watch: a save folder that is there, else its nearest
// ancestor that is (for the folder's appearance); so for the settings file's
// folder. `resolved` gets each save folder as found ("" when missing),
// `settingsThere` whether the settings folder is.
std::map<std::string, Wanted> Look(const std::vector<std::string>& folders,
                                   const std::string& settingsFolder,
                                   std::vector<std::string>& resolved, bool& settingsThere) {
    std::map<std::string, Wanted> wanted;
    // The folder itself when it is there; else its nearest ancestor.
    const auto want = [&](std::string path) {
        if (IsFolder(path))
            return &wanted[path];
        do
            path = Parent(path);
        while (!path.empty() && path != "/" && !IsFolder(path));
        if (!path.empty())
            wanted[path].Ancestor = true;
        return static_cast<Wanted*>(nullptr);
    };
    resolved.assign(folders.size(), {});
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::string path = WithoutTrailingDelimiters(ResolveCase(folders[i]));
        if (Wanted* folder = path.empty() ? nullptr : want(path)) {
            folder->Target = true;
            resolved[i] = path;
        }
    }
    // The settings file's path is exact: no other letter case.
    Wanted* settings = settingsFolder.empty() ? nullptr : want(settingsFolder);
    if (settings)
        settings->Settings = true;
    settingsThere = settings != nullptr;
    return wanted;
}

std::function<void()> betweenLookAndWatch;

} // namespace

void BetweenLookAndWatchForTesting(std::function<void()> between) {
    betweenLookAndWatch = std::move(between);
}

SaveWatch::SaveWatch(std::vector<std::string> folders, std::string settingsFile)
    : folders_(std::move(folders)) {
    if (!settingsFile.empty()) {
        settingsFolder_ = Parent(settingsFile);
        settingsName_ = ExtractFileName(settingsFile);
    }
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotify_ < 0 || stop_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    Arm();
}

SaveWatch::~SaveWatch() {
    if (inotify_ >= 0)
        ::close(inotify_);
    if (stop_ >= 0)
        ::close(stop_);
}

bool SaveWatch::Arm() {
    std::vector<std::string> resolved;
    bool settingsThere = false;
    const auto look = [&] { return Look(folders_, settingsFolder_, resolved, settingsThere); };
    // A folder may vanish between the look and the watch, or one be made
    // below an ancestor before its watch was there: look again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::map<std::string, Wanted> wanted = look();
        if (betweenLookAndWatch)
            betweenLookAndWatch();

        std::vector<Watch> next;
        bool vanished = false;
        for (const auto& [path, want] : wanted) {
            std::uint32_t mask = IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF;
            if (want.Target || want.Settings)
                mask |= kWritten;
            if (want.Ancestor)
                mask |= kNewFolder;
            const int wd = ::inotify_add_watch(inotify_, path.c_str(), mask);
            if (wd < 0) {
                vanished = vanished || errno == ENOENT || errno == ENOTDIR;
                continue;
            }
            // Two paths to one folder (a link) share its watch.
            auto same = std::find_if(next.begin(), next.end(),
                                     [wd](const Watch& w) { return w.Descriptor == wd; });
            if (same == next.end())
                same = next.insert(next.end(), Watch{wd});
            same->Target = same->Target || want.Target;
            same->Ancestor = same->Ancestor || want.Ancestor;
            same->Settings = same->Settings || want.Settings;
        }
        for (const Watch& old : watches_)
            if (std::none_of(next.begin(), next.end(),
                             [&](const Watch& w) { return w.Descriptor == old.Descriptor; }))
                ::inotify_rm_watch(inotify_, old.Descriptor);
        watches_ = std::move(next);
        if (vanished || look() != wanted)
            continue;

        // A folder that appeared since the last look may have been written
        // into before its watch was there.
        bool appeared = false;
        for (std::size_t i = 0; i < resolved.size() && !watched_.empty(); ++i)
            appeared = appeared ||
                       (watched_[i].empty() && !resolved[i].empty() && HoldsAnything(resolved[i]));
        watched_ = std::move(resolved);
        // So may the settings file's.
        settingsChanged_ = settingsChanged_ || (settingsThere && !settingsWatched_ && armed_);
        settingsWatched_ = settingsThere;
        armed_ = true;
        return appeared;
    }
    return false;
}

bool SaveWatch::Drain() {
    bool changed = false;
    bool rearm = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(inotify_, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                changed = rearm = settingsChanged_ = true;
                continue;
            }
            const auto watch =
                std::find_if(watches_.begin(), watches_.end(),
                             [event](const Watch& w) { return w.Descriptor == event->wd; });
            if (watch == watches_.end())
                continue;
            if (event->mask & kGone)
                rearm = true;
            if (watch->Target && (event->mask & kWritten))
                changed = true;
            if (watch->Settings && (event->mask & kWritten) && event->len > 0 &&
                settingsName_ == event->name)
                settingsChanged_ = true;
            if (watch->Ancestor && (event->mask & IN_ISDIR) && (event->mask & kNewFolder))
                rearm = true;
        }
    }
    if (rearm && Arm())
        changed = true;
    return changed;
}

SaveWatch::Wake SaveWatch::Wait(std::chrono::milliseconds quiet) {
    if (!Ok())
        return Wake::Stopped;
    for (;;) {
        int timeout = -1;
        if (pending_) {
            const auto left = lastChange_ + quiet - std::chrono::steady_clock::now();
            timeout =
                left.count() > 0
                    ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count())
                    : 0;
        }
        pollfd fds[2] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            error_ = std::strerror(errno);
            return Wake::Stopped;
        }
        if (fds[0].revents)
            return Wake::Stopped;
        const bool changed = (fds[1].revents & POLLIN) && Drain();
        if (changed) {
            pending_ = true;
            lastChange_ = std::chrono::steady_clock::now();
        }
        if (settingsChanged_) {
            settingsChanged_ = false;
            return Wake::Settings;
        }
        if (!changed && pending_ && timeout == 0) {
            pending_ = false;
            return Wake::Quiet;
        }
    }
}

std::size_t SaveWatch::WatchCount() const {
    // The kernel lists each watch of the descriptor as one "inotify wd:" line.
    std::string info;
    const int fd =
        ::open(("/proc/self/fdinfo/" + std::to_string(inotify_)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        info.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    std::size_t count = 0;
    for (std::size_t at = info.find("inotify wd:"); at != std::string::npos;
         at = info.find("inotify wd:", at + 1))
        ++count;
    return count;
}

void SaveWatch::Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
}

} // namespace platform
