// A fetch: the sets of the other machines listed, those that may come
// downloaded into a hidden folder, and each checked against its checksums.

#include "platform/dir_search.h"
#include "platform/last_error.h"
#include "remote/fetch_calls.h"
#include "remote/remote_sets.h"
#include "sets/backup_set.h"
#include "sets/kinds.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace remote {

namespace {

namespace fs = std::filesystem;

// The hidden folders a fetch downloads into, in the folder the sets are filed in.
constexpr std::string_view kFetchPrefix = ".mfpull-";

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

// What a set's checksums may list: the save files of each kind and their
// archives. Its desc.txt, the checksums file and the program's hidden files
// are never among them, and filed as saves they would take the place of the
// set's own.
bool IsSaveName(std::string_view name) {
    for (const sets::Kind kind : sets::AllKinds)
        for (const bool zip : {false, true})
            if (platform::MatchesWildcard(sets::KindFileName(kind, zip), name))
                return true;
    return false;
}

// Checks a downloaded set against its checksums, and reads its description
// and date (anew when it was checked before).
void CheckFetched(Download::Set& set) {
    set.Check = {};
    set.Checksums = {};
    set.Time = 0;
    auto refuse = [&](const std::string& why) { set.Check = Status::Refuse(why); };
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
    for (const sets::ManifestEntry& entry : set.Checksums.Entries)
        if (!IsSaveName(entry.Name))
            return refuse("its checksums list " + entry.Name + ", which is no save file");
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

// Whether `name`, as a listing gives it, is the name a copy here gets. A
// listing writes what rclone encodes: a control character as its picture
// (U+2400 to U+2421), '/' as U+FF0F, "." and ".." as U+FF0E, anything else
// as itself after U+201B; a copy here decodes them again.
bool ListedAsItIs(std::string_view name) {
    for (std::size_t at = name.find("\xe2\x90"); at != std::string_view::npos;
         at = name.find("\xe2\x90", at + 1))
        if (at + 2 < name.size() && static_cast<unsigned char>(name[at + 2]) <= 0xa1)
            return false;
    return IsPlainRemoteName(name) && name.find("\xe2\x80\x9b") == std::string_view::npos &&
           name.find("\xef\xbc\x8f") == std::string_view::npos && name != "\xef\xbc\x8e" &&
           name != "\xef\xbc\x8e\xef\xbc\x8e";
}

// Why the set `set` of `machine` is not to be downloaded, as the listing
// shows it; "" when it is.
std::string RefusedUnseen(const std::string& machine, const RemoteSet& set, std::uint64_t maxSize) {
    if (!ListedAsItIs(machine) || !ListedAsItIs(set.Name))
        return "its name can't be written down here";
    if (!set.HasChecksums())
        return "it has no checksums on the remote (not put whole)";
    for (const RemoteFile& file : set.Files) {
        if (!file.Size)
            return "the remote does not tell the size of " + file.Name;
        if (*file.Size > maxSize)
            return file.Name + " is " + std::to_string(*file.Size) + " bytes, over the limit of " +
                   std::to_string(maxSize) + " bytes for a pulled file";
    }
    return {};
}

// After a copy of many sets failed: each set it did not bring whole is
// downloaded again alone, and refused in rclone's words when that fails too.
void Refetch(const Rclone& rclone, std::string_view remote, std::uint64_t maxSize,
             const std::string& folder, Download::Set& set) {
    const Status copied = CopySets(rclone, remote, {set.Machine + "/" + set.Name}, maxSize, folder);
    if (copied.Good()) {
        CheckFetched(set);
        return;
    }
    std::error_code ignored;
    fs::remove_all(set.Folder, ignored);
    set.Folder.clear();
    set.Check = copied;
}

} // namespace

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

    std::vector<RemoteMachine> machines;
    if (const Status listed = ListFetchable(rclone, remote, filter, machines); !listed.Good())
        return listed;
    std::vector<std::string> taken; // "MACHINE/SET"
    for (const RemoteMachine& machine : machines) {
        for (const RemoteSet& set : machine.Sets) {
            Download::Set fetched;
            fetched.Machine = machine.Name;
            fetched.Name = set.Name;
            for (const RemoteFile& file : set.Files)
                fetched.Time = std::max(fetched.Time, file.Time);
            if (const std::string why = RefusedUnseen(machine.Name, set, filter.MaxFileSize);
                !why.empty())
                fetched.Check = Status::Refuse(why);
            else
                taken.push_back(fetched.Machine + "/" + fetched.Name);
            download.sets_.push_back(std::move(fetched));
        }
    }

    if (!taken.empty()) {
        folder += std::string(kFetchPrefix) + "XXXXXX";
        if (!::mkdtemp(folder.data())) {
            const Status failed =
                Status::Refuse("cannot make a folder in " + parentFolder + ": " +
                               platform::SysErrorMessage(platform::WinErrorFromErrno(errno)));
            download.Discard();
            return failed;
        }
        download.folder_ = folder + "/";
        download.lock_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (download.lock_ >= 0)
            ::flock(download.lock_, LOCK_EX | LOCK_NB);
        const Status copied = CopySets(rclone, remote, taken, filter.MaxFileSize, download.folder_);
        for (Download::Set& set : download.sets_) {
            if (!set.Check.Good())
                continue;
            set.Folder = download.folder_ + set.Machine + "/" + set.Name + "/";
            CheckFetched(set);
            if (!copied.Good() && !set.Check.Good())
                Refetch(rclone, remote, filter.MaxFileSize, download.folder_, set);
        }
    }
    std::sort(download.sets_.begin(), download.sets_.end(),
              [](const Download::Set& a, const Download::Set& b) {
                  return std::tie(a.Time, a.Machine, a.Name) < std::tie(b.Time, b.Machine, b.Name);
              });
    return {};
}

} // namespace remote
