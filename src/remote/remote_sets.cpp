#include "remote/remote_sets.h"

#include "integrity/sha256.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/run_folder.h"
#include "remote/fetch_calls.h"
#include "sets/backup_set.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <unistd.h>

namespace remote {

namespace {

namespace fs = std::filesystem;

// Copies many small files: more at once than rclone's default four, which
// leaves a remote's round trips waiting in line.
constexpr const char* kTransfers = "--transfers=8";

// What a listing tells of one remote file.
struct Listed {
    std::optional<std::uint64_t> Size; // unknown when only hashed
    std::optional<integrity::Sha256Digest> Digest;
    std::int64_t Time = 0;
};
using Listing = std::map<std::string, Listed>; // by path below the listed folder

// How the remote gives a file's SHA-256: asked for, or unknown until a listing
// shows it.
enum class Hashing { Unknown, Native, Download };

// A list handed to rclone by name (--files-from-raw, --filter-from), in the
// run folder, removed with the object (or by the next run when this one is
// killed).
class ListFile {
public:
    bool Write(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return file_.MakeFile("rclone", text);
    }
    const std::string& Path() const { return file_.Path(); }

private:
    platform::TemporaryEntry file_;
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

// `name` in a filter pattern, matching itself alone.
std::string Glob(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (std::string_view("*?[]{}\\").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// rclone's times: RFC 3339, with up to nine digits of a second, which Qt's
// parser does not take.
std::int64_t ParseTime(const QString& text) {
    QString trimmed = text;
    if (trimmed.size() > 19 && trimmed[19] == '.') {
        qsizetype end = 20;
        while (end < trimmed.size() && trimmed[end].isDigit())
            ++end;
        trimmed.remove(19, end - 19);
    }
    const QDateTime time = QDateTime::fromString(trimmed, Qt::ISODate);
    return time.isValid() ? time.toSecsSinceEpoch() : 0;
}

// rclone lsjson's answer: every file's path, size, time and SHA-256 when given.
// A size the remote does not tell fails it, unless `unknownSizes`.
bool ParseListing(const std::string& json, Listing& listing, bool unknownSizes = false) {
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
        if (size >= 0)
            listed.Size = static_cast<std::uint64_t>(size);
        else if (!unknownSizes)
            return false; // a size the remote does not know can't be checked
        listed.Time = ParseTime(item.value("ModTime").toString());
        const QString hex = item.value("Hashes").toObject().value("sha256").toString();
        integrity::Sha256Digest digest;
        if (integrity::ParseDigestHex(hex.toStdString(), digest))
            listed.Digest = digest;
        listing[item.value("Path").toString().toStdString()] = listed;
    }
    return true;
}

// rclone hashsum's lines, as sha256sum writes them: 64 hex digits, two
// blanks, the path.
void ParseHashsum(const std::string& out, Listing& listing, bool add) {
    for (std::size_t pos = 0; pos < out.size();) {
        std::size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        const std::string_view line = std::string_view(out).substr(pos, end - pos);
        integrity::Sha256Digest digest;
        if (line.size() > 66 && line.substr(64, 2) == "  " &&
            integrity::ParseDigestHex(line.substr(0, 64), digest)) {
            const std::string path(line.substr(66));
            const auto it = listing.find(path);
            if (it != listing.end())
                it->second.Digest = digest;
            else if (add)
                listing[path].Digest = digest;
        }
        pos = end + 1;
    }
}

// 3 is rclone's "directory not found", unchanged through its versions: a
// remote folder that is not there yet holds nothing.
bool NotThere(const Status& status) {
    return status.What == Status::RcloneFailed && status.ExitCode == 3;
}

// Lists the files below `root` that `filter` (a filter flag) lets through,
// with their SHA-256: the remote's own where it has one, else for the files
// of `wanted` by downloading and hashing them. Once the remote is known to
// give none, the files are only hashed, in one call, and their sizes left
// unknown. A missing `root` lists nothing.
Status Inspect(const Rclone& rclone, const std::string& root, const std::string& filter,
               const std::vector<std::string>& wanted, Hashing& hashing, Listing& listing) {
    listing.clear();
    std::string out;
    if (hashing == Hashing::Download) {
        const Status status =
            rclone.Run({"hashsum", "sha256", "--download", "--checkers=8", filter, root}, &out);
        if (NotThere(status))
            return {};
        if (status.Good())
            ParseHashsum(out, listing, true);
        return status;
    }
    Status status = rclone.Run(
        {"lsjson", "-R", "--files-only", "--hash", "--hash-type=sha256", filter, root}, &out);
    if (NotThere(status))
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
    if (download.empty()) {
        if (!listing.empty())
            hashing = Hashing::Native;
        return {};
    }
    hashing = Hashing::Download;
    ListFile list;
    if (!list.Write(download))
        return ListFileFailed();
    status = rclone.Run({"hashsum", "sha256", "--download", "--checkers=8",
                         "--files-from-raw=" + list.Path(), root},
                        &out);
    if (status.Good())
        ParseHashsum(out, listing, false);
    return status;
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
    else if (it->second.Size && *it->second.Size != want.Size)
        problems.push_back(want.Name + " on the remote differs from the set's (" +
                           std::to_string(*it->second.Size) + " bytes, not " +
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
// even a single file goes through copy with a list. rclone's own check of
// each copy is left out: the copies are checked against the set's SHA-256
// right after, and it would read every file on both sides once more.
Status CopyListed(const Rclone& rclone, const std::string& localFolder, const std::string& root,
                  const std::vector<std::string>& paths) {
    ListFile list;
    if (!list.Write(paths))
        return ListFileFailed();
    return rclone.Run({"copy", "--immutable", "--no-update-modtime", "--ignore-checksum",
                       kTransfers, "--files-from-raw=" + list.Path(), localFolder, root});
}

// A temporary folder of our own, removed with the object (or by the next
// run when this one is killed).
class TemporaryFolder {
public:
    TemporaryFolder() {
        if (folder_.MakeFolder("remote"))
            path_ = folder_.Path() + "/";
    }
    const std::string& Path() const { return path_; } // ending with '/', "" when none was made

private:
    platform::TemporaryEntry folder_;
    std::string path_;
};

} // namespace

bool RemoteSet::HasChecksums() const {
    return std::any_of(Files.begin(), Files.end(),
                       [](const RemoteFile& f) { return f.Name == sets::ManifestName; });
}

namespace {

// The machines and sets of ListRemote, of the files that the filter `rules`
// lets through when there are any. A file's size may be unknown: one that
// is refused for it needs no other refused with it.
Status ListSets(const Rclone& rclone, std::string_view remote,
                const std::vector<std::string>& rules, std::vector<RemoteMachine>& machines) {
    machines.clear();
    const std::string root(remote);
    std::vector<std::string> args = {"lsjson", "-R", "--files-only", "--max-depth=3",
                                     "--checkers=8"};
    ListFile list;
    if (!rules.empty()) {
        if (!list.Write(rules))
            return ListFileFailed();
        args.push_back("--filter-from=" + list.Path());
    }
    args.push_back(root);
    std::string out;
    const Status status = rclone.Run(args, &out);
    if (NotThere(status))
        return {};
    if (!status.Good())
        return status;
    Listing listing;
    if (!ParseListing(out, listing, true))
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
        sets.back().Files.push_back({path.substr(second + 1), listed.Size, listed.Time});
    }
    return {};
}

// The filter rule of the folder of "MACHINE/SET", followed by `below`.
std::string SetRule(char sign, const std::string& set, const char* below) {
    const std::size_t slash = set.find('/');
    return std::string(1, sign) + " /" + Glob(set.substr(0, slash)) + "/" +
           Glob(set.substr(slash + 1)) + below;
}

} // namespace

Status ListRemote(const Rclone& rclone, std::string_view remote,
                  std::vector<RemoteMachine>& machines) {
    return ListSets(rclone, remote, {}, machines);
}

bool IsPlainRemoteName(std::string_view name) {
    return PlainName(name, false);
}

Status ListFetchable(const Rclone& rclone, std::string_view remote, const FetchFilter& filter,
                     std::vector<RemoteMachine>& machines) {
    // Whatever a rule can't name (a name with a control character, which
    // rclone would not give back as it is) is listed, and refused.
    std::vector<std::string> rules;
    if (!filter.Skip.empty())
        rules.push_back("- /" + Glob(filter.Skip) + "/**");
    for (const std::string& have : filter.Have)
        if (have.find('/') != std::string::npos)
            rules.push_back(SetRule('-', have, "/**"));
    rules.push_back(filter.Only.empty() ? "+ /*/*/*" : "+ /" + Glob(filter.Only) + "/*/*");
    rules.push_back("- **");
    return ListSets(rclone, remote, rules, machines);
}

Status CopySets(const Rclone& rclone, std::string_view remote, const std::vector<std::string>& sets,
                std::uint64_t maxSize, const std::string& folder) {
    std::vector<std::string> rules;
    for (const std::string& set : sets)
        rules.push_back(SetRule('+', set, "/*"));
    rules.push_back("- **");
    ListFile list;
    if (!list.Write(rules))
        return ListFileFailed();
    // rclone's own check of each copy is left out: every file is checked
    // against its set's SHA-256 next, and it would read each twice more. A
    // file that grew past the limit since it was listed stays out.
    return rclone.Run({"copy", "--ignore-checksum", kTransfers,
                       "--max-size=" + std::to_string(maxSize) + "B",
                       "--filter-from=" + list.Path(), std::string(remote), folder});
}

Status ReadDescriptions(const Rclone& rclone, std::string_view remote,
                        std::map<std::string, std::string>& descriptions) {
    descriptions.clear();
    const TemporaryFolder folder;
    if (folder.Path().empty())
        return Status::Refuse("cannot make a temporary folder: " +
                              platform::SysErrorMessage(platform::WinErrorFromErrno(errno)));
    const Status status = rclone.Run({"copy", "--ignore-checksum", kTransfers,
                                      std::string("--include=/*/*/") + DescriptionName,
                                      std::string(remote), folder.Path()});
    if (NotThere(status))
        return {};
    if (!status.Good())
        return status;
    std::error_code error;
    for (const auto& machine : fs::directory_iterator(folder.Path(), error))
        for (const auto& set : fs::directory_iterator(machine.path(), error))
            descriptions[machine.path().filename().string() + "/" +
                         set.path().filename().string()] =
                sets::ReadDescriptionFile(set.path().string() + "/");
    return {};
}

Status RemoteChecksums(const Rclone& rclone, std::string_view remote, std::string_view machine,
                       std::map<std::string, integrity::Sha256Digest>& digests) {
    digests.clear();
    std::string out;
    const Status status =
        rclone.Run({"hashsum", "sha256", "--download", "--checkers=8",
                    std::string("--include=/*/") + sets::ManifestName, JoinRemote(remote, machine)},
                   &out);
    if (NotThere(status))
        return {};
    if (!status.Good())
        return status;
    Listing listing;
    ParseHashsum(out, listing, true);
    for (const auto& [path, listed] : listing)
        if (listed.Digest && path.find('/') != std::string::npos)
            digests[path.substr(0, path.find('/'))] = *listed.Digest;
    return {};
}

std::vector<Status> PutSets(const Rclone& rclone, std::string_view remote, std::string_view machine,
                            const std::string& folder, const std::vector<std::string>& names,
                            const std::function<void(const std::string&)>& step) {
    std::vector<Status> results(names.size());
    const std::string localFolder = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    const std::string root = JoinRemote(remote, machine);
    if (!PlainName(machine, false)) {
        for (Status& result : results)
            result = Status::Refuse("the machine name can't be a folder on a remote: " +
                                    std::string(machine));
        return results;
    }
    auto tell = [&](const std::string& text) {
        if (step)
            step(text);
    };

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
    Hashing hashing = Hashing::Unknown;
    for (const bool checksumsFile : {false, true}) {
        std::vector<std::string> paths, filter;
        std::size_t count = 0;
        for (const LocalSet& set : sets) {
            if (!results[set.Index].Good())
                continue;
            const std::vector<std::string> own = PathsOf(set, checksumsFile);
            paths.insert(paths.end(), own.begin(), own.end());
            filter.push_back("+ /" + Glob(set.Name) + "/**");
            ++count;
        }
        if (paths.empty())
            break;
        filter.push_back("- **");
        const std::string sets = std::to_string(count) + (count == 1 ? " set" : " sets");
        tell(checksumsFile ? "copying the checksums of " + sets + " to " + HideSecrets(root)
                           : "copying " + std::to_string(paths.size()) + " files of " + sets +
                                 " to " + HideSecrets(root));
        const Status copied = CopyListed(rclone, localFolder, root, paths);
        // After the files, the whole folder of each set is looked at (nothing
        // else may be there); after the checksums, just those.
        ListFile list;
        if (!list.Write(checksumsFile ? paths : filter)) {
            settle(ListFileFailed(), checksumsFile, nullptr);
            break;
        }
        tell(checksumsFile ? "checking the checksums on the remote"
                           : "checking the copies on the remote");
        Listing listing;
        const Status inspected = Inspect(
            rclone, root, (checksumsFile ? "--files-from-raw=" : "--filter-from=") + list.Path(),
            paths, hashing, listing);
        if (!inspected.Good())
            settle(copied.Good() ? inspected : copied, checksumsFile, nullptr);
        else
            settle(copied, checksumsFile, &listing);
    }
    return results;
}

} // namespace remote
