#include "sets/set_writer.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "sets/backup_set.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace sets {

bool SetWriter::Create(const std::string& backupDir, const std::string& description,
                       std::string& why, bool flush) {
    if (!CreateBackupSet(backupDir, description, setPath_, why, flush))
        return false;
    // What the folder holds already (its desc.txt, its mark) is taken too.
    platform::FileSearch search;
    if (search.FindFirst(setPath_ + "*", platform::faAnyFile))
        do
            names_.emplace(platform::LowerAscii(search.Rec().Name), search.Rec().Name);
        while (search.FindNext());
    return true;
}

const std::string* SetWriter::Holds(std::string_view name) const {
    const auto held = names_.find(platform::LowerAscii(name));
    return held == names_.end() ? nullptr : &held->second;
}

SetWriter::File& SetWriter::Add(const std::string& name) {
    const std::string key = platform::LowerAscii(name);
    names_.emplace(key, name);
    index_.emplace(key, files_.size());
    files_.push_back({name, std::nullopt, {}});
    return files_.back();
}

bool SetWriter::Copy(const std::string& source, platform::FileVersion& read) {
    const std::string name = platform::ExtractFileName(source);
    if (Holds(name)) {
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
    Add(name).Ticket =
        copy >= 0 ? hashes_.AddDescriptor(copy, true) : hashes_.AddFile(setPath_ + name, true);
    return true;
}

void SetWriter::Put(ManifestEntry entry) {
    const auto held = index_.find(platform::LowerAscii(entry.Name));
    File& file = held == index_.end() ? Add(entry.Name) : files_[held->second];
    file.Ticket.reset();
    file.Entry = std::move(entry);
}

bool SetWriter::MoveIn(const std::string& source, ManifestEntry entry) {
    if (Holds(entry.Name)) {
        platform::SetLastError(platform::ERROR_FILE_EXISTS);
        return false;
    }
    const std::string target = setPath_ + entry.Name;
    int moved = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    // A file system that can't promise it (NFS) moves it as it can: the set
    // is new, and holds no file of that name in any case.
    if (moved != 0 && errno == EINVAL && ::access(target.c_str(), F_OK) != 0 && errno == ENOENT)
        moved = ::rename(source.c_str(), target.c_str());
    if (moved != 0) {
        platform::SetLastError(platform::WinErrorFromErrno(errno));
        return false;
    }
    Add(entry.Name).Entry = std::move(entry);
    return true;
}

bool SetWriter::WriteOrigin(const std::string& origin) {
    const std::string line = origin + "\n";
    if (!platform::WriteWholeFile(setPath_ + OriginName, line.data(), line.size(), false))
        return false;
    names_.emplace(platform::LowerAscii(OriginName), OriginName);
    return true;
}

const std::string& SetWriter::Added(const std::string& name, const std::string& entry) {
    // The archiver finds an archive ignoring letter case: Game1.bak goes into
    // the game1.zip that game1.sav made, which keeps its name and its one line.
    const auto held = index_.find(platform::LowerAscii(name));
    File& file = held == index_.end() ? Add(name) : files_[held->second];
    file.Ticket = hashes_.AddFile(setPath_ + file.Name, true); // its content now
    entries_.emplace(entry, platform::LowerAscii(file.Name));
    return file.Name;
}

bool SetWriter::Drop(const std::string& name) {
    const std::string key = platform::LowerAscii(name);
    const auto held = index_.find(key);
    if (held == index_.end()) {
        platform::SetLastError(platform::ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (::unlink((setPath_ + files_[held->second].Name).c_str()) != 0 && errno != ENOENT) {
        platform::SetLastError(platform::WinErrorFromErrno(errno));
        return false;
    }
    // Its hash, if still to come, is not waited for.
    files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(held->second));
    names_.erase(key);
    std::erase_if(entries_, [&](const auto& entry) { return entry.second == key; });
    index_.clear();
    for (std::size_t i = 0; i < files_.size(); ++i)
        index_.emplace(platform::LowerAscii(files_[i].Name), i);
    return true;
}

bool SetWriter::Finish(bool flush) {
    Manifest manifest;
    for (const File& file : files_) {
        if (!file.Ticket) {
            manifest.Entries.push_back(file.Entry);
            continue;
        }
        const integrity::HashQueue::Result& hash = hashes_.Wait(*file.Ticket);
        if (!hash.Ok) {
            platform::SetLastError(hash.Error);
            return false;
        }
        manifest.Entries.push_back({file.Name, hash.Size, hash.Digest});
    }
    // The set's folder stands for every copy in it: one flush of its file
    // system takes them all, their names and the manifest. Written before
    // that flush, the manifest vouches for what each copy should hold: if
    // the machine stops during the flush, a copy that did not reach the disk
    // is found damaged rather than restored unchecked (and no source was
    // marked backed up yet).
    return WriteManifest(setPath_, manifest, false) && (!flush || platform::FlushFiles({setPath_}));
}

bool SetWriter::MarkFinished(bool flush) {
    return MarkSetFinished(setPath_, flush);
}

void SetWriter::RemoveIfEmpty() {
    if (Empty())
        RemoveEmptySet(setPath_);
}

} // namespace sets
