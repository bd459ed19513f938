#include "remote/remote_sets.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/sha256.h"
#include "remote/rclone_listing.h"
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
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace remote {

using namespace detail;

namespace {

namespace fs = std::filesystem;

// The hidden folders a fetch downloads into, in the folder the sets are filed in.
constexpr std::string_view kFetchPrefix = ".mfpull-";

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
        listed.Time = ParseTime(item.value("ModTime").toString());
        const QString hex = item.value("Hashes").toObject().value("sha256").toString();
        platform::Sha256Digest digest;
        if (platform::ParseDigestHex(hex.toStdString(), digest))
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
        platform::Sha256Digest digest;
        if (line.size() > 66 && line.substr(64, 2) == "  " &&
            platform::ParseDigestHex(line.substr(0, 64), digest)) {
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

} // namespace

namespace detail {

bool PlainName(std::string_view name, bool inPattern) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return !inPattern || name.find_first_of("*?[]{}\\") == std::string_view::npos;
}

std::string Glob(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (std::string_view("*?[]{}\\").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

bool NotThere(const Status& status) {
    return status.What == Status::RcloneFailed && status.ExitCode == 3;
}

Status RunListed(const Rclone& rclone, std::vector<std::string> args, const std::string& flag,
                 const std::vector<std::string>& lines, std::string* out) {
    ListFile list;
    if (!list.Write(lines))
        return ListFileFailed();
    args.insert(args.begin() + 1, flag + list.Path());
    return rclone.Run(args, out);
}

Status Inspect(const Rclone& rclone, const std::string& root, const std::string& flag,
               const std::vector<std::string>& lines, const std::vector<std::string>& wanted,
               Hashing& hashing, Listing& listing, bool links) {
    listing.clear();
    ListFile given;
    if (!given.Write(lines))
        return ListFileFailed();
    const std::string filter = flag + given.Path();
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
    std::vector<std::string> args{"lsjson", "-R", "--files-only", "--hash", "--hash-type=sha256",
                                  filter,   root};
    if (links)
        args.push_back("--links");
    Status status = rclone.Run(args, &out);
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

} // namespace detail

namespace {

// A temporary folder of our own, removed with the object.
class TemporaryFolder {
public:
    TemporaryFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfbackup-remote-XXXXXX";
        if (::mkdtemp(path.data()))
            path_ = path + "/";
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& Path() const { return path_; } // ending with '/', "" when none was made

private:
    std::string path_;
};

// Removes the fetch folders of `parentFolder` that no fetch holds: what a
// fetch killed before its end left.
void RemoveStaleFetches(const std::string& parentFolder) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(parentFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, kFetchPrefix.size(), kFetchPrefix) != 0)
            continue;
        const int fd =
            ::open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
        ::close(fd);
    }
}

// Checks a downloaded set against its checksums, and reads its description
// and date.
void CheckFetched(Download::Set& set) {
    auto refuse = [&](const std::string& why) { set.Check = Status::Refuse(why); };
    if (!PlainName(set.Machine, false) || !PlainName(set.Name, false)) {
        refuse("its name can't be written down here");
        return;
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(set.Folder, error)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            set.Time = std::max<std::int64_t>(set.Time, st.st_mtim.tv_sec);
    }
    set.Description = sets::ReadDescriptionFile(set.Folder);
    std::string why;
    switch (sets::ReadManifest(set.Folder, set.Checksums, &why)) {
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
    for (const auto& entry : fs::directory_iterator(set.Folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file())
            return refuse("it holds " + name + ", which is no file");
        if (name != sets::ManifestName && name != DescriptionName && !set.Checksums.Find(name))
            return refuse("it holds " + name + ", which its checksums do not list");
    }
    if (error)
        return refuse("cannot list what was downloaded: " +
                      platform::SysErrorMessage(platform::WinErrorFromErrno(error.value())));
    for (const sets::ManifestEntry& want : set.Checksums.Entries) {
        sets::ManifestEntry got;
        if (!sets::HashEntry(set.Folder, want.Name, got)) {
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
    const Status status =
        rclone.Run({"lsjson", "-R", "--files-only", "--max-depth=3", "--checkers=8", root}, &out);
    if (NotThere(status))
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
        sets.back().Files.push_back(
            {path.substr(second + 1), listed.Size.value_or(0), listed.Time});
    }
    return {};
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
                       std::map<std::string, platform::Sha256Digest>& digests) {
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

Download::~Download() {
    Discard();
}

void Download::Discard() {
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        folder_.clear();
    }
    if (lock_ >= 0) {
        ::close(lock_);
        lock_ = -1;
    }
    sets_.clear();
}

Status FetchSets(const Rclone& rclone, std::string_view remote, const FetchFilter& filter,
                 const std::string& parentFolder, Download& download) {
    download.Discard();
    std::string folder = parentFolder;
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    RemoveStaleFetches(folder);

    // Whatever a rule can't name (a name with a control character, which
    // rclone would not give back as it is) is taken and refused by the check.
    std::vector<std::string> rules;
    if (!filter.Skip.empty())
        rules.push_back("- /" + Glob(filter.Skip) + "/**");
    for (const std::string& have : filter.Have) {
        const std::size_t slash = have.find('/');
        if (slash != std::string::npos)
            rules.push_back("- /" + Glob(have.substr(0, slash)) + "/" +
                            Glob(have.substr(slash + 1)) + "/**");
    }
    rules.push_back(std::string("- /*/*/") + ChecksumsUploadName);
    rules.push_back(filter.Only.empty() ? "+ /*/*/*" : "+ /" + Glob(filter.Only) + "/*/*");
    rules.push_back("- **");
    ListFile list;
    if (!list.Write(rules))
        return ListFileFailed();

    folder += std::string(kFetchPrefix) + "XXXXXX";
    if (!::mkdtemp(folder.data()))
        return Status::Refuse("cannot make a folder in " + parentFolder + ": " +
                              platform::SysErrorMessage(platform::WinErrorFromErrno(errno)));
    download.folder_ = folder + "/";
    download.lock_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (download.lock_ >= 0)
        ::flock(download.lock_, LOCK_EX | LOCK_NB);

    // rclone's own check of each copy is left out: every file is checked
    // against its set's SHA-256 next, and it would read each twice more.
    const Status copied =
        rclone.Run({"copy", "--ignore-checksum", kTransfers, "--filter-from=" + list.Path(),
                    std::string(remote), download.folder_});
    if (!copied.Good() && !NotThere(copied)) {
        download.Discard();
        return copied;
    }
    std::error_code error;
    for (const auto& machine : fs::directory_iterator(download.folder_, error)) {
        if (!machine.is_directory())
            continue;
        for (const auto& set : fs::directory_iterator(machine.path(), error)) {
            if (!set.is_directory())
                continue;
            Download::Set fetched;
            fetched.Machine = machine.path().filename().string();
            fetched.Name = set.path().filename().string();
            fetched.Folder = set.path().string() + "/";
            CheckFetched(fetched);
            download.sets_.push_back(std::move(fetched));
        }
    }
    if (error) {
        const Status failed =
            Status::Refuse("cannot list what was downloaded: " +
                           platform::SysErrorMessage(platform::WinErrorFromErrno(error.value())));
        download.Discard();
        return failed;
    }
    std::sort(download.sets_.begin(), download.sets_.end(),
              [](const Download::Set& a, const Download::Set& b) {
                  return std::tie(a.Time, a.Machine, a.Name) < std::tie(b.Time, b.Machine, b.Name);
              });
    return {};
}

} // namespace remote
