#include "integrity/hash_queue.h"

#include "platform/descriptors.h"
#include "platform/last_error.h"

#include <algorithm>
#include <system_error>

namespace integrity {
namespace {

// Hashes `fd` from its start to its end into `r`; the versions before and
// after tell whether it stood still meanwhile. False and last error set.
bool HashDescriptor(int fd, HashQueue::Result& r) {
    platform::FileVersion before;
    Sha256Sink sink;
    if (!platform::GetOpenFileVersion(fd, before) || !platform::ReadAllBlocks(fd, sink, r.Size) ||
        !platform::GetOpenFileVersion(fd, r.Version))
        return false;
    r.Digest = sink.Finish();
    r.Steady = r.Version == before;
    return true;
}

} // namespace

HashQueue::HashQueue() {
    // A third each for the copies waiting to be hashed and for those waiting
    // to be written; the rest of what may be held goes to replaced files.
    const std::size_t share = platform::DescriptorsToKeep() / 3;
    mostWaiting_ = std::min<std::size_t>(64, share);
    writeBatch_ = std::min<std::size_t>(64, share);
}

HashQueue::~HashQueue() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        for (const Item& item : items_)
            if (item.Fd >= 0)
                platform::CloseFile(item.Fd);
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
    const int fd = item.Fd >= 0 ? item.Fd : platform::OpenFileToRead(item.Path);
    result.Ok = fd >= 0 && HashDescriptor(fd, result);
    if (!result.Ok)
        result.Error = platform::GetLastError();
    if (result.Ok && item.StartWriting && toWrite)
        toWrite->push_back(fd);
    else
        platform::CloseFile(fd);
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
                platform::StartWritingToDisk(copy);
                platform::CloseFile(copy);
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
        platform::CloseFile(copy);
}

} // namespace integrity
