#include "platform/hash_queue.h"

#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Hashes `fd` from its start to its end into `r`; the versions before and
// after tell whether it stood still meanwhile. 0 or an errno (-1: no file).
int HashDescriptor(int fd, HashQueue::Result& r) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return -1;
    const FileVersion before = detail::VersionOf(st);
    Sha256 sha;
    std::uint64_t size = 0;
    if (const int err = detail::HashFrom(fd, sha, size))
        return err;
    if (::fstat(fd, &st) != 0)
        return errno;
    r.Digest = sha.Finish();
    r.Size = size;
    r.Version = detail::VersionOf(st);
    r.Steady = r.Version == before;
    return 0;
}

} // namespace

HashQueue::HashQueue() {
    // A third each for the copies waiting to be hashed and for those waiting
    // to be written; the rest of what may be held goes to replaced files.
    const std::size_t share = detail::DescriptorsToKeep() / 3;
    mostWaiting_ = std::min<std::size_t>(64, share);
    writeBatch_ = std::min<std::size_t>(64, share);
}

HashQueue::~HashQueue() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        for (const Item& item : items_)
            if (item.Fd >= 0)
                ::close(item.Fd);
        items_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

std::size_t HashQueue::Add(Item item) {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable() && !alone_) {
        try {
            thread_ = std::thread(&HashQueue::Work, this);
        } catch (const std::system_error&) {
            alone_ = true; // no thread to be had: Wait does the hashing
        }
    }
    item.Ticket = results_.size();
    const bool descriptor = item.Fd >= 0;
    items_.push_back(std::move(item));
    waitingFds_ += descriptor ? 1 : 0;
    results_.emplace_back();
    // Copies come one at a time, each quicker to hash than to make: the
    // thread is woken for a few at once, not for each. Paths come together.
    if (idle_ && (!descriptor || items_.size() >= kWakeFor))
        changed_.notify_all();
    const std::size_t ticket = items_.back().Ticket;
    // A caller that outruns the thread (copies cloned in the file system, no
    // SHA instructions, no thread at all) hashes the oldest itself: the
    // descriptors waiting stay few. Paths hold nothing open.
    while (waitingFds_ > mostWaiting_) {
        Item oldest = TakeFront();
        lock.unlock();
        Process(oldest, nullptr);
        lock.lock();
    }
    return ticket;
}

HashQueue::Item HashQueue::TakeFront() {
    Item item = std::move(items_.front());
    items_.pop_front();
    waitingFds_ -= item.Fd >= 0 ? 1 : 0;
    return item;
}

std::size_t HashQueue::AddDescriptor(int fd, bool startWriting) {
    return Add({fd, {}, startWriting, 0});
}

std::size_t HashQueue::AddFile(std::string path, bool startWriting) {
    return Add({-1, std::move(path), startWriting, 0});
}

const HashQueue::Result& HashQueue::Wait(std::size_t ticket) {
    std::unique_lock lock(mutex_);
    // The caller does not sit idle while there is hashing to do: it takes
    // the next file itself, so the two of them catch up at twice the pace.
    while (!results_[ticket].Done && !items_.empty()) {
        Item item = TakeFront();
        lock.unlock();
        Process(item, nullptr);
        lock.lock();
    }
    changed_.wait(lock, [&] { return results_[ticket].Done; });
    return results_[ticket];
}

void HashQueue::Process(const Item& item, std::vector<int>* toWrite) {
    Result result;
    int fd = item.Fd;
    std::string path;
    if (fd < 0) {
        path = ResolveCase(item.Path);
        // Non-blocking, so that a FIFO cannot hang the open; it is refused.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    const int err = fd < 0 ? errno : HashDescriptor(fd, result);
    if (err == 0 && item.StartWriting && toWrite)
        toWrite->push_back(fd);
    else if (fd >= 0)
        ::close(fd);
    result.Ok = err == 0;
    if (err == -1) {
        result.Error = ERROR_ACCESS_DENIED;
    } else if (err != 0) {
        if (path.empty())
            detail::FailErrno(err);
        else
            detail::FailMissing(path, err);
        result.Error = GetLastError();
    }
    result.Done = true;
    {
        std::lock_guard lock(mutex_);
        results_[item.Ticket] = result;
    }
    changed_.notify_all();
}

void HashQueue::Work() {
    std::vector<int> toWrite; // hashed copies whose writing is to start
    std::unique_lock lock(mutex_);
    for (;;) {
        // Writing the copies to disk is started once nothing waits to be
        // hashed: a head start for the flush to come, never a delay for it.
        if (!toWrite.empty() && (items_.empty() || toWrite.size() >= writeBatch_)) {
            lock.unlock();
            for (const int copy : toWrite) {
                ::sync_file_range(copy, 0, 0, SYNC_FILE_RANGE_WRITE);
                ::close(copy);
            }
            toWrite.clear();
            lock.lock();
        }
        idle_ = items_.empty();
        changed_.wait(lock, [&] { return stop_ || !items_.empty(); });
        idle_ = false;
        if (stop_)
            break;
        Item item = TakeFront();
        lock.unlock();
        Process(item, &toWrite);
        lock.lock();
    }
    for (const int copy : toWrite)
        ::close(copy);
}

} // namespace platform
