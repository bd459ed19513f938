#include "remote/remote_sets.h"

#include "platform/last_error.h"
#include "remote/rclone_listing.h"
#include "sets/backup_set.h"

#include <algorithm>
#include <cstdlib>

namespace remote {

using namespace detail;

namespace {

// How rclone lists a link of a local folder, asked to (--links): as a file.
constexpr std::string_view kLinkSuffix = ".rclonelink";

// One set of this machine, as it is to be put.
struct LocalSet {
    std::size_t Index = 0; // in the caller's list
    std::string Name;
    sets::Manifest Checksums;
    std::vector<sets::ManifestEntry> Extras; // desc.txt and the checksums file, as here
    std::vector<std::string> Problems;
    bool Whole = false;             // its checksums file is on the remote already
    std::vector<std::string> Again; // what an upload that did not end left, to be copied again

    const sets::ManifestEntry& Sums() const {
        return *std::find_if(Extras.begin(), Extras.end(),
                             [](const auto& e) { return e.Name == sets::ManifestName; });
    }
    // What its folder holds but the checksums file: the save files and desc.txt.
    std::vector<const sets::ManifestEntry*> Files() const {
        std::vector<const sets::ManifestEntry*> files;
        for (const sets::ManifestEntry& entry : Checksums.Entries)
            files.push_back(&entry);
        for (const sets::ManifestEntry& extra : Extras)
            if (extra.Name != sets::ManifestName)
                files.push_back(&extra);
        return files;
    }
    bool Holds(const std::string& name) const {
        const auto files = Files();
        return name == sets::ManifestName || name == ChecksumsUploadName ||
               std::any_of(files.begin(), files.end(), [&](auto* e) { return e->Name == name; });
    }
};

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

void Compare(const sets::ManifestEntry& want, const Listing& listing, const std::string& path,
             std::vector<std::string>& problems) {
    const auto it = listing.find(path);
    if (it == listing.end())
        problems.push_back(want.Name + " is not on the remote");
    else if (it->second.Size && *it->second.Size != want.Size)
        problems.push_back(want.Name + " on the remote differs from the set's (" +
                           std::to_string(*it->second.Size) + " bytes, not " +
                           std::to_string(want.Size) + ")");
    else if (!it->second.Digest)
        problems.push_back(want.Name + " on the remote could not be hashed");
    else if (*it->second.Digest != want.Digest)
        problems.push_back(want.Name + " on the remote differs from the set's (checksum)");
}

// What the remote's folder of `set` (`folder`, ending with '/') holds against
// what it must hold: its files, desc.txt, its checksums file under the name
// it goes up as (unless it is there whole) and nothing else; or
// (`checksumsFile`) its checksums file.
void CompareSet(LocalSet& set, const std::string& folder, const Listing& listing,
                bool checksumsFile) {
    if (checksumsFile || set.Whole)
        Compare(set.Sums(), listing, folder + sets::ManifestName, set.Problems);
    if (checksumsFile)
        return;
    if (!set.Whole)
        Compare(set.Sums(), listing, folder + ChecksumsUploadName, set.Problems);
    for (const sets::ManifestEntry* file : set.Files())
        Compare(*file, listing, folder + file->Name, set.Problems);
    for (const auto& [path, listed] : listing) {
        if (path.compare(0, folder.size(), folder) != 0)
            continue;
        const std::string name = path.substr(folder.size());
        if (!set.Holds(name))
            set.Problems.push_back("the remote set holds " + name + ", which this set does not");
    }
}

// A link on the way to the set's files (its machine's folder, its own, one in
// it) would have them written where it points: the set is refused.
void FindLinks(LocalSet& set, const std::string& machine, const Listing& listing) {
    const std::string folder = machine + "/" + set.Name;
    for (const std::string& path : {machine, folder})
        if (listing.count(path + std::string(kLinkSuffix)))
            set.Problems.push_back(path + " on the remote is a link, which a push never writes "
                                          "through");
    for (const auto& [path, listed] : listing)
        if (path.compare(0, folder.size() + 1, folder + "/") == 0 && EndsWith(path, kLinkSuffix) &&
            !set.Holds(path.substr(folder.size() + 1)))
            set.Problems.push_back(path.substr(0, path.size() - kLinkSuffix.size()) +
                                   " on the remote is a link, which a push never writes through");
}

// What an upload of the set that did not end left: with no checksums file
// there the set is not whole on the remote, so the files of its own names
// that differ from its own are this machine's unfinished copies, to be
// copied again. Nothing of a whole set is ever touched.
void FindLeftovers(LocalSet& set, const std::string& machine, const Listing& listing) {
    const std::string folder = machine + "/" + set.Name + "/";
    set.Whole = listing.count(folder + sets::ManifestName) > 0;
    if (set.Whole)
        return;
    for (const sets::ManifestEntry* file : set.Files()) {
        const auto it = listing.find(folder + file->Name);
        if (it == listing.end())
            continue;
        const Listed& there = it->second;
        if ((there.Size && *there.Size != file->Size) || !there.Digest ||
            *there.Digest != file->Digest)
            set.Again.push_back(set.Name + "/" + file->Name);
    }
}

// Reads a set of `localFolder` for a put: its checksums, and the hashes of
// its desc.txt and checksums file, which the remote must get as they are.
void ReadLocalSet(const std::string& localFolder, LocalSet& set) {
    const std::string folder = localFolder + set.Name + "/";
    if (!PlainName(set.Name, true)) {
        set.Problems.push_back("its folder name can't be put on a remote");
        return;
    }
    std::string why;
    switch (sets::ReadManifest(folder, set.Checksums, &why)) {
    case sets::ManifestRead::Read:
        break;
    case sets::ManifestRead::Missing:
        set.Problems.push_back("it has no checksums, so its copy could not be checked");
        return;
    case sets::ManifestRead::Damaged:
        set.Problems.push_back("its checksums are damaged (" + why + ")");
        return;
    case sets::ManifestRead::Unreadable:
        set.Problems.push_back("cannot read its checksums: " +
                               platform::SysErrorMessage(platform::GetLastError()));
        return;
    }
    for (const sets::ManifestEntry& entry : set.Checksums.Entries)
        if (!PlainName(entry.Name, false))
            set.Problems.push_back("the name of a file can't be put on a remote: " + entry.Name);
    for (const char* name : {DescriptionName, sets::ManifestName}) {
        sets::ManifestEntry entry;
        if (sets::HashEntry(folder, name, entry))
            set.Extras.push_back(std::move(entry));
        else if (name == sets::ManifestName ||
                 platform::GetLastError() != platform::ERROR_FILE_NOT_FOUND)
            set.Problems.push_back("cannot read " + std::string(name) + ": " +
                                   platform::SysErrorMessage(platform::GetLastError()));
    }
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems)
        text += (text.empty() ? "" : "; ") + problem;
    return text;
}

// The remote's top as rclone must be given it to show the links below it:
// rclone shows a top that is itself a link (the user's own, to where a disk
// is mounted say) as a link, and nothing below it. A local path is resolved
// here; other remotes are taken as they are.
std::string LinksRoot(const std::string& remote) {
    const std::string_view local = ":local:";
    const bool onTheFly = remote.rfind(local, 0) == 0;
    if (!onTheFly && remote.find(':') != std::string::npos && remote[0] != '/')
        return remote;
    const std::string path = onTheFly ? remote.substr(local.size()) : remote;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return remote;
    const std::string resolved = (onTheFly ? std::string(local) : std::string()) + real;
    std::free(real);
    return resolved;
}

std::string Count(std::size_t n, const char* one) {
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// One PutSets: the sets, what became of each, and the steps.
class Put {
public:
    Put(const Rclone& rclone, std::string_view remote, std::string_view machine,
        const std::string& folder, const std::function<void(const std::string&)>& step)
        : rclone_(rclone), remote_(remote), machine_(machine), root_(JoinRemote(remote, machine)),
          local_(folder.empty() || folder.back() == '/' ? folder : folder + "/"), step_(step) {}

    std::vector<Status> Run(const std::vector<std::string>& names);

private:
    std::vector<LocalSet*> Going() {
        std::vector<LocalSet*> going;
        for (LocalSet& set : sets_)
            if (results_[set.Index].Good())
                going.push_back(&set);
        return going;
    }
    void Tell(const std::string& text) {
        if (step_)
            step_(text);
    }
    std::string FolderOf(const LocalSet& set) const { return machine_ + "/" + set.Name + "/"; }
    void Settle(const Status& failure, bool checksumsFile, const Listing* listing);
    Status Look(Listing& listing, bool first);
    void PutFiles();
    void PutChecksums();

    const Rclone& rclone_;
    const std::string remote_, machine_, root_, local_;
    const std::function<void(const std::string&)>& step_;
    std::vector<LocalSet> sets_;
    std::vector<Status> results_;
    Hashing hashing_ = Hashing::Unknown;
};

// A failure of rclone stands for every set still going; a set the remote
// holds otherwise is refused with what differs.
void Put::Settle(const Status& failure, bool checksumsFile, const Listing* listing) {
    for (LocalSet* set : Going()) {
        if (listing && set->Problems.empty())
            CompareSet(*set, FolderOf(*set), *listing, checksumsFile);
        if (!set->Problems.empty())
            results_[set->Index] =
                Status::Refuse(set->Name + ": " + Joined(set->Problems) +
                               (failure.Good() ? "" : " (" + failure.Message + ")"));
        else if (!listing && !failure.Good())
            results_[set->Index] = failure;
    }
}

// Lists, from the remote's top, the folders of the sets still going and
// what leads to them, with their files' SHA-256 for the files to be put: at
// `first`, links shown as such (where there are links); after, the
// checksums files as they go up too, and links passed over (what was to be
// there is missing).
Status Put::Look(Listing& listing, bool first) {
    std::vector<std::string> rules{"+ /" + Glob(machine_) + "{," + std::string(kLinkSuffix) + "}"};
    std::vector<std::string> wanted;
    for (const LocalSet* set : Going()) {
        const std::string folder = "/" + Glob(machine_) + "/" + Glob(set->Name);
        rules.push_back("+ " + folder + "{," + std::string(kLinkSuffix) + "}");
        rules.push_back("+ " + folder + "/**");
        for (const sets::ManifestEntry* file : set->Files())
            wanted.push_back(FolderOf(*set) + file->Name);
        if (!first)
            wanted.push_back(FolderOf(*set) + ChecksumsUploadName);
    }
    rules.push_back("- **");
    return Inspect(rclone_, first ? LinksRoot(remote_) : remote_, "--filter-from=", rules, wanted,
                   hashing_, listing, first);
}

// Each set's checksums file under the name it goes up as, then the files of
// every set, and a look at what arrived. An unfinished upload's files that
// differ from the set's are copied again first; nothing else there is
// replaced. rclone's own check of each copy is left out: the copies are
// checked against the set's SHA-256 right after, and it would read every
// file on both sides once more.
void Put::PutFiles() {
    std::vector<std::string> paths, again;
    for (const LocalSet* set : Going()) {
        for (const sets::ManifestEntry* file : set->Files())
            paths.push_back(set->Name + "/" + file->Name);
        again.insert(again.end(), set->Again.begin(), set->Again.end());
    }
    if (paths.empty())
        return;
    Tell("copying " + Count(paths.size(), "file") + " of " + Count(Going().size(), "set") + " to " +
         HideSecrets(root_));
    const std::vector<std::string> flags{"--no-update-modtime", "--ignore-checksum", kTransfers,
                                         local_, root_};
    auto copy = [&](const char* mode, const std::vector<std::string>& list) {
        std::vector<std::string> args{"copy", mode};
        args.insert(args.end(), flags.begin(), flags.end());
        return RunListed(rclone_, args, "--files-from-raw=", list);
    };
    // A copy under a name of our own may replace what a stopped one left
    // there. One failing stands for the remote: nothing more is tried.
    Status copied;
    for (const LocalSet* set : Going())
        if (copied.Good() && !set->Whole)
            copied = rclone_.Run({"copyto", "--no-update-modtime", "--ignore-checksum",
                                  local_ + set->Name + "/" + sets::ManifestName,
                                  JoinRemote(root_, set->Name + "/" + ChecksumsUploadName)});
    if (copied.Good() && !again.empty())
        copied = copy("--ignore-times", again);
    // rclone's copyto would replace a different file in spite of --immutable
    // (1.60): what must replace nothing goes through copy with a list.
    if (copied.Good())
        copied = copy("--immutable", paths);

    Tell("checking the copies on the remote");
    Listing listing;
    const Status inspected = Look(listing, false);
    if (!inspected.Good())
        return Settle(copied.Good() ? inspected : copied, false, nullptr);
    Settle(copied, false, &listing);
}

// Each checked checksums file takes its name, which makes its set whole on
// the remote, and is looked at there. Never over another: where one came
// meanwhile, the move leaves it and the look tells.
void Put::PutChecksums() {
    std::vector<std::string> paths;
    for (const LocalSet* set : Going())
        paths.push_back(FolderOf(*set) + sets::ManifestName);
    if (paths.empty())
        return;
    Tell("putting the checksums of " + Count(paths.size(), "set") + " in place on " +
         HideSecrets(root_));
    Status moved;
    for (const LocalSet* set : Going()) {
        const Status status =
            set->Whole ? Status()
                       // --immutable alone replaces a different file there (1.60);
                       // --ignore-existing leaves it, and the check then refuses.
                       : rclone_.Run({"moveto", "--immutable", "--ignore-existing",
                                      JoinRemote(root_, set->Name + "/" + ChecksumsUploadName),
                                      JoinRemote(root_, set->Name + "/" + sets::ManifestName)});
        if (moved.Good())
            moved = status;
    }
    Tell("checking the checksums on the remote");
    Listing listing;
    const Status inspected =
        Inspect(rclone_, remote_, "--files-from-raw=", paths, paths, hashing_, listing);
    if (!inspected.Good())
        Settle(moved.Good() ? inspected : moved, true, nullptr);
    else
        Settle(moved, true, &listing);
}

std::vector<Status> Put::Run(const std::vector<std::string>& names) {
    results_.assign(names.size(), Status());
    if (!PlainName(machine_, false)) {
        for (Status& result : results_)
            result = Status::Refuse("the machine name can't be a folder on a remote: " + machine_);
        return results_;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        sets_.push_back({i, names[i], {}, {}, {}, false, {}});
        ReadLocalSet(local_, sets_.back());
    }
    Settle({}, false, nullptr);
    if (Going().empty())
        return results_;

    // What is there first: links, a set there whole, what a put stopped half
    // way left.
    Tell("looking at the sets' folders on " + HideSecrets(root_));
    Listing listing;
    if (const Status looked = Look(listing, true); !looked.Good()) {
        Settle(looked, false, nullptr);
        return results_;
    }
    for (LocalSet* set : Going()) {
        FindLinks(*set, machine_, listing);
        FindLeftovers(*set, machine_, listing);
    }
    Settle({}, false, nullptr);
    PutFiles();
    PutChecksums();
    return results_;
}

} // namespace

std::vector<Status> PutSets(const Rclone& rclone, std::string_view remote, std::string_view machine,
                            const std::string& folder, const std::vector<std::string>& names,
                            const std::function<void(const std::string&)>& step) {
    return Put(rclone, remote, machine, folder, step).Run(names);
}

} // namespace remote
