#include "remote/remote_sets.h"

#include "integrity/sha256.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "remote/fetch_calls.h"
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
    // A checksums file on its way up is no file of its set.
    rules.push_back(std::string("- /*/*/") + ChecksumsUploadName);
    rules.push_back(filter.Only.empty() ? "+ /*/*/*" : "+ /" + Glob(filter.Only) + "/*/*");
    rules.push_back("- **");
    return ListSets(rclone, remote, rules, machines);
}

Status CopySets(const Rclone& rclone, std::string_view remote, const std::vector<std::string>& sets,
                std::uint64_t maxSize, const std::string& folder) {
    std::vector<std::string> rules = {std::string("- /*/*/") + ChecksumsUploadName};
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

} // namespace remote
