#include "sets/set_writer.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"

#include <fcntl.h>
#include <unistd.h>

namespace core {

SetWriter::SetWriter(std::string setPath) : setPath_(std::move(setPath)) {
    // What the folder holds already (its desc.txt) is taken too.
    platform::FileSearch search;
    if (search.FindFirst(setPath_ + "*", platform::faAnyFile))
        do
            names_.insert(platform::LowerAscii(search.Rec().Name));
        while (search.FindNext());
}

bool SetWriter::Copy(const std::string& source, platform::FileVersion& read) {
    const std::string name = platform::ExtractFileName(source);
    const std::string key = platform::LowerAscii(name);
    if (names_.count(key) != 0) {
        platform::SetLastError(platform::ERROR_FILE_EXISTS);
        return false;
    }
    // The name is known free in every case: no look-up per copy.
    platform::StagedFile staged;
    if (!staged.OpenNew(setPath_ + name) || !staged.CopyFrom(source, read))
        return false;
    // The copy is hashed from its own descriptor, on the queue's thread;
    // a program started meanwhile does not inherit it. Under a low limit on
    // open files, or with none left (EMFILE), it is hashed by its name.
    const int copy = hashes_.TakesDescriptors() ? ::fcntl(staged.Handle(), F_DUPFD_CLOEXEC, 0) : -1;
    if (!staged.Commit()) {
        const std::uint32_t error = platform::GetLastError();
        if (copy >= 0)
            ::close(copy);
        platform::SetLastError(error);
        return false;
    }
    names_.insert(std::move(key));
    order_.push_back(name);
    tickets_.push_back(copy >= 0 ? hashes_.AddDescriptor(copy, true)
                                 : hashes_.AddFile(setPath_ + name, true));
    return true;
}

const std::string& SetWriter::Added(const std::string& name, const std::string& entry) {
    entries_.insert(entry);
    // The archiver finds an archive ignoring letter case: Game1.bak goes into
    // the game1.zip that game1.sav made, which keeps its name and its one line.
    const auto [at, added] = archives_.try_emplace(platform::LowerAscii(name), order_.size());
    if (added) {
        names_.insert(at->first);
        order_.push_back(name);
        tickets_.push_back(0);
    }
    const std::string& onDisk = order_[at->second];
    tickets_[at->second] = hashes_.AddFile(setPath_ + onDisk, true); // its content now
    return onDisk;
}

bool SetWriter::Finish() {
    Manifest manifest;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const platform::HashQueue::Result& hash = hashes_.Wait(tickets_[i]);
        if (!hash.Ok) {
            platform::SetLastError(hash.Error);
            return false;
        }
        manifest.Entries.push_back({order_[i], hash.Size, hash.Digest});
    }
    // The set's folder stands for every copy in it: one flush of its file
    // system takes them all, their names and the manifest. Written before
    // that flush, the manifest vouches for what each copy should hold: if
    // the machine stops during the flush, a copy that did not reach the disk
    // is found damaged rather than restored unchecked (and no source was
    // marked backed up yet).
    return WriteManifest(setPath_, manifest, false) && platform::FlushFiles({setPath_});
}

} // namespace core
