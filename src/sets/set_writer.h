#pragma once

// The files a run puts into a new set, and the set's checksums: the copies
// are hashed on a thread of their own while the next ones are made, and the
// set is flushed to disk once, at the end, with its manifest.

#include "platform/files.h"
#include "platform/hash_queue.h"
#include "sets/manifest.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace core {

class SetWriter {
public:
    // `setPath`: the new set's folder, ending in '/', as CreateBackupSet made
    // it (its desc.txt, if any, already in it).
    explicit SetWriter(std::string setPath);

    // Copies `source` into the set under its own name, and tells the version
    // of the source the copy was read from. A name the set holds already (in
    // any letter case: a case twin, or a file of another folder) fails with
    // 80, and the set keeps what it had.
    bool Copy(const std::string& source, platform::FileVersion& read);
    // Whether an archive of the set holds an entry of that name already
    // (`entry` in ASCII lower case): the archiver would replace it.
    bool HasEntry(const std::string& entry) const { return entries_.count(entry) != 0; }
    // The archive `name` the archiver wrote into the set (written again when
    // it took a second file), now holding `entry`: hashed as it is now.
    // Returns the archive's name as the set holds it (the first spelling).
    const std::string& Added(const std::string& name, const std::string& entry);
    // Whether the set holds any file put into it.
    bool Empty() const { return order_.empty(); }
    const std::string& Path() const { return setPath_; }

    // Writes the manifest of the files put into the set and flushes the set
    // to disk (once for all). False and last error set when a file can't be
    // read back or the set not written.
    bool Finish();

private:
    std::string setPath_;
    std::unordered_set<std::string> names_;                 // in the set, ASCII lower case
    std::unordered_set<std::string> entries_;               // in its archives, the same
    std::vector<std::string> order_;                        // put in, each once
    std::vector<std::size_t> tickets_;                      // the newest hash of each
    std::unordered_map<std::string, std::size_t> archives_; // lower case -> its place
    platform::HashQueue hashes_;
};

} // namespace core
