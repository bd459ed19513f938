#include "remote/push_pull.h"

#include "core/backup_folder_lock.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "remote/remote_sets.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"
#include "sets/set_list.h"
#include "sets/set_writer.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace remote {
namespace {

// The sets here, as a push and a pull see them.
struct HereSets {
    std::map<std::string, std::string> Pulled; // "MACHINE/SET" -> the finished set holding it
    std::set<std::string> Made;                // the sets made on this machine
    std::vector<std::string> ByDate;           // every set, oldest first
};

HereSets ReadHere(const std::string& backupDir) {
    HereSets here;
    for (const sets::SetEntry& entry : sets::SetsByDate(backupDir)) {
        const std::string& name = entry.Rec.Name;
        if (!sets::IsSetName(name))
            continue;
        const std::string folder = sets::SetFolder(backupDir, name);
        const std::string origin = sets::ReadSetOrigin(folder);
        here.ByDate.push_back(name);
        if (origin.empty())
            here.Made.insert(name);
        else if (!sets::IsSetUnfinished(folder)) // a pull killed half way pulls again
            here.Pulled.emplace(origin, name);
    }
    return here;
}

// rclone, and what a run can't go without. False, said, when it can't run.
bool Prepare(const Where& at, Rclone& rclone, core::Reporter& reporter, RemoteRun& run) {
    Status status;
    if (at.Remote.empty())
        status = Status::Refuse("No remote is set: the sets have nowhere to go.");
    else if (at.Machine.empty())
        status = Status::Refuse("This machine's name is not known, so its sets have no folder "
                                "on the remote.");
    else
        status = Rclone::Find(rclone, at.RcloneConfig);
    if (status.Good())
        return true;
    reporter.Message(status.Message);
    run.Unusable = true;
    return false;
}

std::size_t SaveFiles(const std::string& folder) {
    sets::Manifest manifest;
    sets::ReadManifest(folder, manifest);
    return manifest.Entries.size();
}

// Tells the sets a push could not put, those failed by the same rclone call
// in one message.
void ReportPutFailures(const std::vector<std::string>& names, const std::vector<Status>& results,
                       core::Reporter& reporter, RemoteRun& run) {
    std::vector<std::pair<std::string, std::string>> shared; // message, sets
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Status& result = results[i];
        if (result.Good())
            continue;
        ++run.Failures;
        if (result.What == Status::Refused) {
            reporter.Message(result.Message); // it names the set
            continue;
        }
        const auto same = std::find_if(shared.begin(), shared.end(),
                                       [&](const auto& s) { return s.first == result.Message; });
        if (same == shared.end())
            shared.emplace_back(result.Message, names[i]);
        else
            same->second += ", " + names[i];
    }
    for (const auto& [message, sets] : shared)
        reporter.Message(sets + " not pushed: " + message);
}

// Removes a set a pull began and could not finish: nothing of it stays.
void RemoveBegun(const std::string& setPath) {
    if (setPath.empty())
        return;
    std::vector<std::string> names;
    platform::FileSearch search;
    if (search.FindFirst(setPath + "*", platform::faAnyFile)) {
        do {
            if (search.Rec().Name != "." && search.Rec().Name != "..")
                names.push_back(search.Rec().Name);
        } while (search.FindNext());
    }
    std::string failed;
    platform::RemoveFolderWithFiles(setPath, names, failed);
}

// "BRAVO MFB1A2B 7 Dec 2026 16:09: before the dragon".
std::string DescriptionOf(const Download::Set& set) {
    std::string description = set.Machine + " " + set.Name;
    if (set.Time != 0)
        description += " " + SetDate(set.Time);
    if (!set.Description.empty())
        description += ": " + set.Description;
    return description;
}

// A set being filed: its writer, and what it is a copy of.
struct Filing {
    sets::SetWriter Writer;
    const Download::Set* From = nullptr;
    bool Dropped = false;
};

// Moves the files of a checked set out of the download into its new set,
// and writes its origin and checksums. False, with `why`, on a failure.
bool FillSet(Filing& filing, std::string& why) {
    const Download::Set& set = *filing.From;
    sets::SetWriter& writer = filing.Writer;
    auto fail = [&](const std::string& what) {
        why = what + ": " + platform::SysErrorMessage(platform::GetLastError());
        return false;
    };
    for (const sets::ManifestEntry& entry : set.Checksums.Entries)
        if (!writer.MoveIn(set.Folder + entry.Name, entry))
            return fail("cannot move " + entry.Name + " into " + writer.Path());
    if (!writer.WriteOrigin(set.Machine + "/" + set.Name))
        return fail("cannot write " + writer.Path() + sets::OriginName);
    if (!writer.Finish(false))
        return fail("error writing " + writer.Path());
    return true;
}

// Files the checked sets `taken` as new sets of `backupDir`, in three steps,
// each ended by one flush of its file system for all sets: the sets, made and
// marked unfinished (the mark on disk before anything goes in); their files,
// origins and checksums; their marks removed. A set that fails a step is
// said and removed: nothing of it stays.
void FileSets(const std::vector<const Download::Set*>& taken, const std::string& backupDir,
              core::Reporter& reporter, RemoteRun& run) {
    std::vector<std::unique_ptr<Filing>> filings;
    auto label = [](const Download::Set& set) { return set.Machine + "/" + set.Name; };
    auto drop = [&](Filing& filing, const std::string& why) {
        reporter.Message("could not file " + label(*filing.From) + ": " + why);
        RemoveBegun(filing.Writer.Path());
        filing.Dropped = true;
        ++run.Failures;
    };
    auto flush = [&] {
        reporter.ProgressFlush();
        if (platform::FlushFiles({backupDir}))
            return true;
        const std::string why = "error writing " + backupDir +
                                " to disk: " + platform::SysErrorMessage(platform::GetLastError());
        for (const std::unique_ptr<Filing>& filing : filings)
            if (!filing->Dropped)
                drop(*filing, why);
        return false;
    };
    for (const Download::Set* set : taken) {
        auto filing = std::make_unique<Filing>();
        filing->From = set;
        std::string why;
        if (filing->Writer.Create(backupDir, DescriptionOf(*set), why, false)) {
            filings.push_back(std::move(filing));
        } else {
            reporter.Message("could not file " + label(*set) + ": " + why);
            ++run.Failures;
        }
    }
    if (filings.empty() || !flush())
        return;
    for (std::size_t i = 0; i < filings.size(); ++i) {
        Filing& filing = *filings[i];
        reporter.ProgressStep(i + 1, filings.size(), label(*filing.From));
        reporter.ProgressText("filing " + label(*filing.From));
        std::string why;
        if (!FillSet(filing, why))
            drop(filing, why);
    }
    if (!flush())
        return;
    for (const std::unique_ptr<Filing>& filing : filings)
        if (!filing->Dropped && !filing->Writer.MarkFinished(false))
            drop(*filing, "error marking " + filing->Writer.Path() +
                              " finished: " + platform::SysErrorMessage(platform::GetLastError()));
    if (!flush())
        return;
    for (const std::unique_ptr<Filing>& filing : filings)
        if (!filing->Dropped)
            run.Sets.push_back({filing->From->Machine, filing->From->Name,
                                platform::ExtractFileName(
                                    platform::WithoutTrailingDelimiters(filing->Writer.Path())),
                                filing->From->Checksums.Entries.size()});
}

} // namespace

std::string SetDate(std::int64_t time) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time, Qt::LocalTime);
    return QLocale::c().toString(local, "d MMM yyyy HH:mm").toStdString();
}

RemoteRun Push(const PushChoices& choices, core::Reporter& reporter) {
    RemoteRun run;
    Rclone rclone;
    const Where& at = choices.At;
    if (!Prepare(at, rclone, reporter, run))
        return run;
    const core::ProgressScope progress(reporter, "Pushing sets");

    const bool named = !choices.Sets.empty();
    std::vector<std::string> candidates, unchecked;
    for (const std::string& name : named ? choices.Sets : ReadHere(at.BackupDir).ByDate) {
        const std::string folder = sets::SetFolder(at.BackupDir, name);
        const std::string origin = sets::ReadSetOrigin(folder);
        if (!origin.empty()) {
            // It is on the remote already, under the machine it came from.
            if (named)
                reporter.Message(name + " was pulled from " + origin + ": not pushed again");
        } else if (sets::IsSetUnfinished(folder)) {
            // Its run stopped half way, or is still going: not a set to spread.
            if (named) {
                reporter.Message(name + " is unfinished: not pushed");
                ++run.Failures;
            }
        } else if (!named && !platform::FileExists(folder + sets::ManifestName)) {
            // Made by an older version: nothing could check its copy.
            unchecked.push_back(name);
        } else {
            candidates.push_back(name);
        }
    }
    if (!unchecked.empty()) {
        std::string names;
        for (const std::string& name : unchecked)
            names += (names.empty() ? "" : ", ") + name;
        reporter.Message("Sets made without checksums are not pushed: " + names);
    }
    if (candidates.empty())
        return run;

    constexpr std::size_t steps = 6;
    std::size_t step = 0;
    auto tell = [&](const std::string& text) {
        reporter.ProgressStep(++step, steps, text);
        reporter.ProgressText(text);
    };
    tell("looking at " + HideSecrets(JoinRemote(at.Remote, at.Machine)));
    std::map<std::string, integrity::Sha256Digest> there;
    if (const Status status = RemoteChecksums(rclone, at.Remote, at.Machine, there);
        !status.Good()) {
        reporter.Message(status.Message);
        ++run.Failures;
        return run;
    }
    std::vector<std::string> put;
    for (const std::string& name : candidates) {
        const auto remote = there.find(name);
        sets::ManifestEntry here;
        if (remote == there.end() ||
            !sets::HashEntry(sets::SetFolder(at.BackupDir, name), sets::ManifestName, here))
            put.push_back(name); // a set without checksums is refused by the put
        else if (here.Digest != remote->second) {
            reporter.Message(name + ": the remote holds another set of this name (" + at.Machine +
                             "/" + name + "): not pushed");
            ++run.Failures;
        }
    }
    if (put.empty())
        return run;

    const std::vector<Status> results =
        PutSets(rclone, at.Remote, at.Machine, at.BackupDir, put, tell);
    for (std::size_t i = 0; i < put.size(); ++i)
        if (results[i].Good())
            run.Sets.push_back(
                {at.Machine, put[i], put[i], SaveFiles(sets::SetFolder(at.BackupDir, put[i]))});
    ReportPutFailures(put, results, reporter, run);
    return run;
}

RemoteRun Pull(const PullChoices& choices, core::Reporter& reporter) {
    RemoteRun run;
    Rclone rclone;
    const Where& at = choices.At;
    if (!Prepare(at, rclone, reporter, run))
        return run;
    if (choices.From == at.Machine) {
        reporter.Message(choices.From + " is this machine: a pull takes the sets of the others");
        run.Unusable = true;
        return run;
    }
    const core::ProgressScope progress(reporter, "Pulling sets");

    FetchFilter filter;
    filter.Only = choices.From;
    filter.Skip = at.Machine;
    filter.MaxFileSize = choices.MaxFileSize;
    for (const auto& [origin, local] : ReadHere(at.BackupDir).Pulled)
        filter.Have.push_back(origin);
    const std::string text =
        "copying the sets that are not here yet from " +
        HideSecrets(choices.From.empty() ? at.Remote : JoinRemote(at.Remote, choices.From));
    reporter.ProgressStep(1, 1, text);
    reporter.ProgressText(text);
    Download download;
    if (const Status status = FetchSets(rclone, at.Remote, filter, at.BackupDir, download);
        !status.Good()) {
        reporter.Message(status.Message);
        ++run.Failures;
        return run;
    }
    if (download.Sets().empty())
        return run;

    // Filing writes sets, as a backup does: one run at a time in the folder.
    core::BackupFolderLock lock;
    if (!lock.Take(at.BackupDir, "Pulling sets", reporter)) {
        run.Stopped = true;
        return run;
    }
    sets::RemoveStaleSets(at.BackupDir);
    std::vector<const Download::Set*> taken;
    for (const Download::Set& set : download.Sets()) {
        const std::string label = set.Machine + "/" + set.Name;
        if (set.Check.Good()) {
            if (!set.Checksums.Entries.empty()) // a set of no file is no backup
                taken.push_back(&set);
            continue;
        }
        ++run.Failures;
        if (set.Folder.empty()) // refused as the listing showed it, or rclone failed on it
            reporter.Message(label + ": not pulled: " + set.Check.Message);
        else
            reporter.Failure(label + ": the copy on the remote is damaged", set.Check.Message);
    }
    FileSets(taken, at.BackupDir, reporter, run);
    return run;
}

Status ListRemoteSets(const Where& at, std::vector<RemoteSetInfo>& found) {
    found.clear();
    if (at.Remote.empty())
        return Status::Refuse("No remote is set.");
    Rclone rclone;
    Status status = Rclone::Find(rclone, at.RcloneConfig);
    std::vector<RemoteMachine> machines;
    if (status.Good())
        status = ListRemote(rclone, at.Remote, machines);
    std::map<std::string, std::string> descriptions;
    if (status.Good() && !machines.empty())
        status = ReadDescriptions(rclone, at.Remote, descriptions);
    if (!status.Good())
        return status;
    const HereSets here = ReadHere(at.BackupDir);
    for (const RemoteMachine& machine : machines) {
        for (const RemoteSet& set : machine.Sets) {
            RemoteSetInfo info;
            info.Machine = machine.Name;
            info.Set = set.Name;
            const std::string path = machine.Name + "/" + set.Name;
            if (const auto d = descriptions.find(path); d != descriptions.end())
                info.Description = d->second;
            for (const RemoteFile& file : set.Files) {
                info.Time = std::max(info.Time, file.Time);
                if (file.Name == DescriptionName || file.Name == sets::ManifestName ||
                    file.Name == ChecksumsUploadName)
                    continue;
                ++info.Files;
                info.Bytes += file.Size.value_or(0);
            }
            info.Whole = set.HasChecksums();
            info.Mine = machine.Name == at.Machine;
            if (info.Mine) {
                if (here.Made.count(set.Name))
                    info.Here = set.Name;
            } else if (const auto pulled = here.Pulled.find(path); pulled != here.Pulled.end()) {
                info.Here = pulled->second;
            }
            found.push_back(std::move(info));
        }
    }
    return {};
}

} // namespace remote
