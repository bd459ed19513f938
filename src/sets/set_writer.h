#pragma once

// A new set, made and filled by one run: a backup, an import, or the safety
// set before a restore. The copies are hashed on a thread of their own while
// the next ones are made; the set is flushed to disk once, at the end, with
// its checksums, and only then marked finished.

#include "integrity/hash_queue.h"
#include "platform/files.h"
#include "sets/manifest.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sets {

class SetWriter {
public:
    // Makes the set in `backupDir` (see CreateBackupSet): marked unfinished,
    // its desc.txt written. False, with `why` in the words the user is shown,
    // when no set was made. Without `flush`, the caller flushes the set's
    // file system before anything goes into it.
    bool Create(const std::string& backupDir, const std::string& description, std::string& why,
                bool flush = true);

    // Copies `source` into the set under its own name, and tells the version
    // of the source the copy was read from. A name the set holds already (in
    // any letter case: a case twin, or a file of another folder) fails with
    // 80, and the set keeps what it had.
    bool Copy(const std::string& source, platform::FileVersion& read);
    // The name the set holds a file under that is `name` in any letter case;
    // nullptr when it holds none.
    const std::string* Holds(std::string_view name) const;
    // A file the caller copied into the set itself, with the size and digest
    // of the bytes it wrote; in place of the file of that very name, when
    // the copy replaced one.
    void Put(ManifestEntry entry);
    // Moves the file `source`, on the set's file system, into the set as
    // `entry.Name`, whose size and digest the caller checked: it is not read
    // again. A name the set holds already in any letter case fails with 80,
    // and the set keeps what it had.
    bool MoveIn(const std::string& source, ManifestEntry entry);
    // Writes the set's origin (see OriginName), "MACHINE/SET": flushed with
    // the set by Finish, and not in its checksums.
    bool WriteOrigin(const std::string& origin);
    // Whether an archive of the set holds an entry of that name already
    // (`entry` in ASCII lower case): the archiver would replace it.
    bool HasEntry(const std::string& entry) const { return entries_.count(entry) != 0; }
    // The archive `name` the archiver wrote into the set (written again when
    // it took a second file), now holding `entry`: hashed as it is now.
    // Returns the archive's name as the set holds it (the first spelling).
    const std::string& Added(const std::string& name, const std::string& entry);
    // Takes the file `name` (as the set holds it) out of the set again, from
    // the disk and from its checksums to be, an archive with its entries.
    // False and last error set when it can't be removed: it stays in the set.
    bool Drop(const std::string& name);
    // Whether the set holds any file put into it.
    bool Empty() const { return files_.empty(); }
    const std::string& Path() const { return setPath_; }

    // Writes the checksums of the files put into the set and flushes the set
    // to disk (once for all). False and last error set when a file can't be
    // read back or the set not written. Without `flush`, the caller flushes
    // the set's file system itself before MarkFinished: one flush for many
    // sets.
    bool Finish(bool flush = true);
    // The run's last step: the set is no longer marked unfinished (on disk
    // once the caller flushed, without `flush`). False and last error set
    // when the mark can't be removed.
    bool MarkFinished(bool flush = true);
    // Removes the set again when no file went into it: no backup to list.
    void RemoveIfEmpty();

private:
    struct File {
        std::string Name;
        std::optional<std::size_t> Ticket; // its hash on the queue, else Entry
        ManifestEntry Entry;
    };
    // The file of `name` (a name the set does not hold yet in any case).
    File& Add(const std::string& name);

    std::string setPath_;
    std::unordered_map<std::string, std::string> names_; // ASCII lower case -> as held
    // Each entry of its archives -> its archive's name, both in lower case.
    std::unordered_map<std::string, std::string> entries_;
    std::vector<File> files_;                            // put in, each once
    std::unordered_map<std::string, std::size_t> index_; // lower case -> its place in files_
    integrity::HashQueue hashes_;
};

} // namespace sets
