#include "platform/replaced_files.h"

#include "platform/descriptors.h"
#include "platform/internal.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace platform {
namespace {

class Replaced {
public:
    ~Replaced() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
        for (const int fd : held_)
            ::close(fd);
    }

    void Hold(int fd) {
        // Under a low limit on open files fewer are held, or none.
        const std::size_t most = std::min(kMostHeld, DescriptorsToKeep() / 3);
        std::unique_lock lock(mutex_);
        if (!thread_.joinable() && !alone_) {
            try {
                thread_ = std::thread(&Replaced::Work, this);
            } catch (const std::system_error&) {
                alone_ = true;
            }
        }
        if (alone_ || held_.size() >= most) {
            lock.unlock();
            ::close(fd);
            return;
        }
        held_.push_back(fd);
        lock.unlock();
        changed_.notify_all();
    }

    bool LetGoAll() {
        std::unique_lock lock(mutex_);
        std::deque<int> mine;
        mine.swap(held_);
        const bool any = !mine.empty() || closing_ != 0;
        lock.unlock();
        for (const int fd : mine)
            ::close(fd);
        lock.lock();
        changed_.wait(lock, [&] { return closing_ == 0; });
        return any;
    }

    void Keep(bool keep) {
        {
            std::lock_guard lock(mutex_);
            keep_ = keep;
        }
        changed_.notify_all();
    }

private:
    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || (!held_.empty() && !keep_); });
            if (stop_)
                return;
            std::deque<int> mine;
            mine.swap(held_);
            closing_ = mine.size();
            lock.unlock();
            for (const int fd : mine)
                ::close(fd);
            lock.lock();
            closing_ = 0;
            changed_.notify_all();
        }
    }

    // Enough to keep the thread busy while the next copies are made; few
    // enough that the space they hold does not matter.
    static constexpr std::size_t kMostHeld = 16;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> held_;
    std::size_t closing_ = 0; // taken by the thread, not closed yet
    std::thread thread_;
    bool alone_ = false; // no thread could be started
    bool keep_ = false;
    bool stop_ = false;
};

Replaced& TheReplaced() {
    static Replaced replaced;
    return replaced;
}

} // namespace

void LetGoOfLater(int fd) {
    if (fd >= 0)
        TheReplaced().Hold(fd);
}

bool LetGoOfReplaced() {
    return TheReplaced().LetGoAll();
}

void KeepReplacedForTesting(bool keep) {
    TheReplaced().Keep(keep);
}

} // namespace platform
