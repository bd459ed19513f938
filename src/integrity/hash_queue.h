#pragma once

// SHA-256 digests of files worked out on a thread of its own, in the order
// they are handed over, while the caller goes on with its own work: the
// checksums of a set of many files then cost little more than the copies.

#include "integrity/sha256.h"
#include "platform/files.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace integrity {

class HashQueue {
public:
    struct Result {
        bool Ok = false;
        std::uint32_t Error = 0; // the last error, when not Ok
        Sha256Digest Digest{};
        std::uint64_t Size = 0; // bytes read
        // The file's version once read, and whether it was the same before:
        // when not, a write may have gone on while it was read.
        platform::FileVersion Version;
        bool Steady = false;
        bool Done = false; // worked on
    };

    // Sizes the descriptors it may hold by the process's limit on open files.
    HashQueue();
    // Drops what was not worked on yet and waits for the file at hand.
    ~HashQueue();
    HashQueue(const HashQueue&) = delete;
    HashQueue& operator=(const HashQueue&) = delete;

    // Whether descriptors may be handed over: none under a limit on open
    // files so low that holding any would starve the copies (see AddFile).
    bool TakesDescriptors() const { return mostWaiting_ > 0; }
    // Hands over an open descriptor, which the queue closes: the bytes from
    // its start to its end. With `startWriting` (a new copy), writing it to
    // disk is started when the queue has nothing else to hash, so that a
    // flush later has less to wait for. Returns the ticket of its result.
    std::size_t AddDescriptor(int fd, bool startWriting = false);
    // A file by its path (looked up ignoring case where it is missing as
    // written), read as HashFile reads it; `startWriting` as above.
    std::size_t AddFile(std::string path, bool startWriting = false);
    // The result of a ticket, once it is there; it lives as long as the
    // queue. The caller hashes files still waiting meanwhile.
    const Result& Wait(std::size_t ticket);

private:
    struct Item {
        int Fd = -1; // or
        std::string Path;
        bool StartWriting = false;
        std::size_t Ticket = 0;
    };
    std::size_t Add(Item item);
    Item TakeFront(); // called locked
    // Hashes `item` into its result; a copy to write is handed to `toWrite`
    // instead of being closed, when there is one.
    void Process(const Item& item, std::vector<int>* toWrite);
    void Work();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;     // not worked on yet
    std::deque<Result> results_; // by ticket; a deque keeps references
    bool idle_ = false;          // the thread waits for work
    bool alone_ = false;         // no thread could be started: Wait hashes
    bool stop_ = false;
    static constexpr std::size_t kWakeFor = 8; // descriptors
    std::size_t writeBatch_ = 0;               // hashed copies held at most
    std::size_t waitingFds_ = 0;               // descriptors among items_
    std::size_t mostWaiting_ = 0;              // descriptors queued at most
    std::thread thread_;
};

} // namespace integrity
