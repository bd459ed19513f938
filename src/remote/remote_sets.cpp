#include "remote/remote_sets.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/sha256.h"
#include "platform/sync.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace remote {

namespace {

// What a listing tells of one remote file.
struct Listed {
    std::uint64_t Size = 0;
    std::optional<platform::Sha256Digest> Digest;
};
using Listing = std::map<std::string, Listed>; // by path below the listed folder

// A list handed to rclone by name (--files-from-raw, --filter-from), in the
// temporary folder, removed with the object.
class ListFile {
public:
    ListFile() = default;
    ~ListFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    bool Write(const std::vector<std::string>& lines) {
        const char* tmp = std::getenv("TMPDIR");
        std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfbackup-rclone-XXXXXX";
        const int fd = ::mkstemp(path.data());
        if (fd < 0)
            return false;
        ::close(fd);
        path_ = path;
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return platform::WriteWholeFile(path_, text.data(), text.size(), false);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

Status ListFileFailed() {
    return Status::Refuse("cannot write a list for rclone: " +
                          platform::SysErrorMessage(platform::GetLastError()));
}

// Names rclone takes as they are: no control character (rclone encodes those
// per backend, so they would not come back as written), and for the names
// that go into filter patterns no pattern character either.
bool PlainName(std::string_view name, bool inPattern) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return !inPattern || name.find_first_of("*?[]{}\\") == std::string_view::npos;
}

// rclone lsjson's answer: every file's path, size and SHA-256 when given.
bool ParseListing(const std::string& json, Listing& listing) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return false;
    for (const QJsonValue& value : doc.array()) {
        const QJsonObject item = value.toObject();
        if (item.value("IsDir").toBool())
            continue;
        Listed listed;
        const qint64 size = item.value("Size").toInteger(-1);
        if (size < 0)
            return false; // a size the remote does not know can't be checked
        listed.Size = static_cast<std::uint64_t>(size);
        const QString hex = item.value("Hashes").toObject().value("sha256").toString();
        platform::Sha256Digest digest;
        if (platform::ParseDigestHex(hex.toStdString(), digest))
            listed.Digest = digest;
        listing[item.value("Path").toString().toStdString()] = listed;
    }
    return true;
}

// Lists the files below `root` that `filter` (a filter flag) lets through,
// with their SHA-256: the remote's own where it has one, else for the files
// of `wanted` by downloading and hashing them. A missing `root` lists
// nothing.
Status Inspect(const Rclone& rclone, const std::string& root, const std::string& filter,
               const std::vector<std::string>& wanted, Listing& listing) {
    listing.clear();
    std::string out;
    Status status = rclone.Run(
        {"lsjson", "-R", "--files-only", "--hash", "--hash-type=sha256", filter, root}, &out);
    // 3 is rclone's "directory not found", unchanged through its versions.
    if (status.What == Status::RcloneFailed && status.ExitCode == 3)
        return {};
    if (!status.Good())
        return status;
    if (!ParseListing(out, listing))
        return Status::Refuse("rclone lsjson " + HideSecrets(root) + " gave no listing");

    std::vector<std::string> download;
    for (const std::string& path : wanted) {
        const auto it = listing.find(path);
        if (it != listing.end() && !it->second.Digest)
            download.push_back(path);
    }
    if (download.empty())
        return {};
    ListFile list;
    if (!list.Write(download))
        return ListFileFailed();
    status = rclone.Run(
        {"hashsum", "sha256", "--download", "--files-from-raw=" + list.Path(), root}, &out);
    if (!status.Good())
        return status;
    // sha256sum's lines: 64 hex digits, two blanks, the path.
    for (std::size_t pos = 0; pos < out.size();) {
        std::size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        const std::string_view line = std::string_view(out).substr(pos, end - pos);
        platform::Sha256Digest digest;
        if (line.size() > 66 && line.substr(64, 2) == "  " &&
            platform::ParseDigestHex(line.substr(0, 64), digest)) {
            const auto it = listing.find(std::string(line.substr(66)));
            if (it != listing.end())
                it->second.Digest = digest;
        }
        pos = end + 1;
    }
    return {};
}

// One set of this machine, as it is to be put.
struct LocalSet {
    std::size_t Index = 0; // in the caller's list
    std::string Name;
    sets::Manifest Checksums;
    std::vector<sets::ManifestEntry> Extras; // desc.txt and the checksums file, as here
    std::vector<std::string> Problems;
};

void Compare(const sets::ManifestEntry& want, const Listing& listing, const std::string& path,
             std::vector<std::string>& problems) {
    const auto it = listing.find(path);
    if (it == listing.end())
        problems.push_back(want.Name + " is not on the remote");
    else if (it->second.Size != want.Size)
        problems.push_back(want.Name + " on the remote differs from the set's (" +
                           std::to_string(it->second.Size) + " bytes, not " +
                           std::to_string(want.Size) + ")");
    else if (!it->second.Digest)
        problems.push_back(want.Name + " on the remote could not be hashed");
    else if (*it->second.Digest != want.Digest)
        problems.push_back(want.Name + " on the remote differs from the set's (checksum)");
}

// What the remote's folder of `set` holds against what it must hold: its
// files, desc.txt and nothing else, or (`checksumsFile`) its checksums file.
void CompareSet(LocalSet& set, const Listing& listing, bool checksumsFile) {
    const std::string prefix = set.Name + "/";
    for (const sets::ManifestEntry& extra : set.Extras)
        if ((extra.Name == sets::ManifestName) == checksumsFile)
            Compare(extra, listing, prefix + extra.Name, set.Problems);
    if (checksumsFile)
        return;
    for (const sets::ManifestEntry& entry : set.Checksums.Entries)
        Compare(entry, listing, prefix + entry.Name, set.Problems);
    for (const auto& [path, listed] : listing) {
        if (path.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string name = path.substr(prefix.size());
        const bool known =
            std::any_of(set.Checksums.Entries.begin(), set.Checksums.Entries.end(),
                        [&](const sets::ManifestEntry& e) { return e.Name == name; }) ||
            name == DescriptionName || name == sets::ManifestName;
        if (!known)
            set.Problems.push_back("the remote set holds " + name + ", which this set does not");
    }
}

std::vector<std::string> PathsOf(const LocalSet& set, bool checksumsFile) {
    std::vector<std::string> paths;
    if (checksumsFile) {
        paths.push_back(set.Name + "/" + sets::ManifestName);
        return paths;
    }
    for (const sets::ManifestEntry& entry : set.Checksums.Entries)
        paths.push_back(set.Name + "/" + entry.Name);
    for (const sets::ManifestEntry& extra : set.Extras)
        if (extra.Name != sets::ManifestName)
            paths.push_back(set.Name + "/" + extra.Name);
    return paths;
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

// Copies `paths` (below `localFolder`) to `root`, replacing nothing: rclone's
// copyto would replace a different file in spite of --immutable (1.60), so
// even a single file goes through copy with a list.
Status CopyListed(const Rclone& rclone, const std::string& localFolder, const std::string& root,
                  const std::vector<std::string>& paths) {
    ListFile list;
    if (!list.Write(paths))
        return ListFileFailed();
    return rclone.Run({"copy", "--immutable", "--no-update-modtime",
                       "--files-from-raw=" + list.Path(), localFolder, root});
}

} // namespace

bool RemoteSet::HasChecksums() const {
    return std::any_of(Files.begin(), Files.end(),
                       [](const RemoteFile& f) { return f.Name == sets::ManifestName; });
}

Status ListRemote(const Rclone& rclone, std::string_view remote,
                  std::vector<RemoteMachine>& machines) {
    machines.clear();
    std::string out;
    const std::string root(remote);
    const Status status = rclone.Run({"lsjson", "-R", "--files-only", "--max-depth=3", root}, &out);
    if (status.What == Status::RcloneFailed && status.ExitCode == 3)
        return {};
    if (!status.Good())
        return status;
    Listing listing;
    if (!ParseListing(out, listing))
        return Status::Refuse("rclone lsjson " + HideSecrets(root) + " gave no listing");
    // The listing is by path, so machines, sets and files come in order.
    for (const auto& [path, listed] : listing) {
        const std::size_t first = path.find('/');
        const std::size_t second = path.find('/', first + 1);
        if (first == std::string::npos || second == std::string::npos ||
            path.find('/', second + 1) != std::string::npos)
            continue;
        const std::string machine = path.substr(0, first);
        const std::string set = path.substr(first + 1, second - first - 1);
        if (machines.empty() || machines.back().Name != machine)
            machines.push_back({machine, {}});
        std::vector<RemoteSet>& sets = machines.back().Sets;
        if (sets.empty() || sets.back().Name != set)
            sets.push_back({set, {}});
        sets.back().Files.push_back({path.substr(second + 1), listed.Size});
    }
    return {};
}

Status ReadRemoteFile(const Rclone& rclone, std::string_view remote, std::string_view path,
                      std::size_t maxSize, std::string& content) {
    content.clear();
    const std::string source = JoinRemote(remote, path);
    Status status = rclone.Run({"cat", "--head=" + std::to_string(maxSize + 1), source}, &content);
    if (status.Good() && content.size() > maxSize) {
        content.clear();
        status = Status::Refuse(HideSecrets(source) + " is larger than " + std::to_string(maxSize) +
                                " bytes");
    }
    return status;
}

std::vector<Status> PutSets(const Rclone& rclone, std::string_view remote, std::string_view machine,
                            const std::string& folder, const std::vector<std::string>& names) {
    std::vector<Status> results(names.size());
    const std::string localFolder = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    const std::string root = JoinRemote(remote, machine);
    if (!PlainName(machine, false)) {
        for (Status& result : results)
            result = Status::Refuse("the machine name can't be a folder on a remote: " +
                                    std::string(machine));
        return results;
    }

    std::vector<LocalSet> sets;
    for (std::size_t i = 0; i < names.size(); ++i) {
        LocalSet set{i, names[i], {}, {}, {}};
        ReadLocalSet(localFolder, set);
        sets.push_back(std::move(set));
    }
    // A failure of rclone stands for every set still going; a set the remote
    // holds otherwise is refused with what differs.
    auto settle = [&](const Status& failure, bool withChecksums, const Listing* listing) {
        for (LocalSet& set : sets) {
            if (!results[set.Index].Good())
                continue;
            if (listing && set.Problems.empty())
                CompareSet(set, *listing, withChecksums);
            if (!set.Problems.empty())
                results[set.Index] =
                    Status::Refuse(set.Name + ": " + Joined(set.Problems) +
                                   (failure.Good() ? "" : " (" + failure.Message + ")"));
            else if (!listing && !failure.Good())
                results[set.Index] = failure;
        }
    };
    settle({}, false, nullptr);

    // The files first, then the checksums of the sets that arrived whole.
    for (const bool checksumsFile : {false, true}) {
        std::vector<std::string> paths, filter;
        for (const LocalSet& set : sets) {
            if (!results[set.Index].Good())
                continue;
            const std::vector<std::string> own = PathsOf(set, checksumsFile);
            paths.insert(paths.end(), own.begin(), own.end());
            filter.push_back("+ /" + set.Name + "/**");
        }
        if (paths.empty())
            break;
        filter.push_back("- **");
        const Status copied = CopyListed(rclone, localFolder, root, paths);
        // After the files, the whole folder of each set is looked at (nothing
        // else may be there); after the checksums, just those.
        ListFile list;
        if (!list.Write(checksumsFile ? paths : filter)) {
            settle(ListFileFailed(), checksumsFile, nullptr);
            break;
        }
        Listing listing;
        const Status inspected = Inspect(
            rclone, root, (checksumsFile ? "--files-from-raw=" : "--filter-from=") + list.Path(),
            paths, listing);
        if (!inspected.Good())
            settle(copied.Good() ? inspected : copied, checksumsFile, nullptr);
        else
            settle(copied, checksumsFile, &listing);
    }
    return results;
}

StagedSet::~StagedSet() {
    Discard();
}

void StagedSet::Discard() {
    if (folder_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    folder_.clear();
    checksums_ = {};
}

bool StagedSet::Keep(const std::string& target) {
    if (folder_.empty()) {
        platform::SetLastError(platform::ERROR_INVALID_HANDLE);
        return false;
    }
    std::vector<std::string> paths{folder_};
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, error))
        paths.push_back(entry.path().string());
    if (error) {
        platform::SetLastError(platform::WinErrorFromErrno(error.value()));
        return false;
    }
    if (!platform::FlushFiles(paths))
        return false;
    std::string from = folder_;
    from.pop_back();
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        platform::SetLastError(platform::WinErrorFromErrno(errno));
        return false;
    }
    folder_.clear();
    // The new name is on disk too before anything relies on the set.
    const std::filesystem::path parent = std::filesystem::path(target).parent_path();
    return platform::FlushFiles({parent.empty() ? std::string(".") : parent.string()});
}

Status GetSet(const Rclone& rclone, std::string_view remote, std::string_view machine,
              std::string_view set, const std::string& parentFolder, StagedSet& staged) {
    staged.Discard();
    if (!PlainName(machine, false) || !PlainName(set, false))
        return Status::Refuse("not a set on a remote: " + std::string(machine) + "/" +
                              std::string(set));
    const std::string source = JoinRemote(remote, std::string(machine) + "/" + std::string(set));
    std::string folder = parentFolder;
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    folder += ".mfpull-XXXXXX";
    if (!::mkdtemp(folder.data()))
        return Status::Refuse("cannot make a folder in " + parentFolder + ": " +
                              platform::SysErrorMessage(platform::WinErrorFromErrno(errno)));
    staged.folder_ = folder + "/";

    const std::string label = std::string(machine) + "/" + std::string(set);
    auto refuse = [&](const std::string& why) {
        staged.Discard();
        return Status::Refuse(label + ": " + why);
    };
    const Status copied = rclone.Run({"copy", source, folder});
    if (!copied.Good()) {
        staged.Discard();
        return copied;
    }
    std::string why;
    switch (sets::ReadManifest(staged.folder_, staged.checksums_, &why)) {
    case sets::ManifestRead::Read:
        break;
    case sets::ManifestRead::Missing:
        return refuse("it has no checksums on the remote (not put whole)");
    case sets::ManifestRead::Damaged:
        return refuse("its checksums are damaged (" + why + ")");
    case sets::ManifestRead::Unreadable:
        return refuse("cannot read its checksums: " +
                      platform::SysErrorMessage(platform::GetLastError()));
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(staged.folder_, error)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file())
            return refuse("it holds " + name + ", which is no file");
        if (name != sets::ManifestName && name != DescriptionName &&
            !std::any_of(staged.checksums_.Entries.begin(), staged.checksums_.Entries.end(),
                         [&](const sets::ManifestEntry& e) { return e.Name == name; }))
            return refuse("it holds " + name + ", which its checksums do not list");
    }
    if (error)
        return refuse("cannot list what was downloaded: " +
                      platform::SysErrorMessage(platform::WinErrorFromErrno(error.value())));
    for (const sets::ManifestEntry& want : staged.checksums_.Entries) {
        sets::ManifestEntry got;
        if (!sets::HashEntry(staged.folder_, want.Name, got)) {
            const std::uint32_t code = platform::GetLastError();
            return refuse(code == platform::ERROR_FILE_NOT_FOUND
                              ? want.Name + " is missing"
                              : "cannot read " + want.Name + ": " +
                                    platform::SysErrorMessage(code));
        }
        if (!want.Matches(got.Size, got.Digest))
            return refuse(want.Name + " is damaged (" +
                          (got.Size != want.Size ? "size" : "checksum") + ")");
    }
    return {};
}

} // namespace remote
