#include "cli/remote_commands.h"

#include "cli/commands.h"
#include "platform/last_error.h"
#include "remote/push_pull.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace cli {
namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// --remote, else the setting; refused when there is neither.
std::string RemoteOf(const Options& options) {
    if (options.Remote)
        return *options.Remote;
    std::string remote;
    if (!remote::ReadRemoteSetting(SettingsFilePath(), remote))
        throw Refusal("cannot read the remote setting " +
                      remote::RemoteSettingPath(SettingsFilePath()) + ": " +
                      platform::SysErrorMessage(platform::GetLastError()));
    if (remote.empty())
        throw Refusal(
            "no remote is set: give one with --remote REMOTE, or keep one with "
            "`mfbackup-cli settings set remote REMOTE` (REMOTE: a remote of `rclone config`, "
            "or one made on the fly)");
    return remote;
}

remote::Where WhereOf(const Options& options) {
    remote::Where at;
    at.Remote = RemoteOf(options);
    at.RcloneConfig = options.RcloneConfig;
    RequireBackupFolder();
    at.BackupDir = BackupConfig.BackupDir.Get();
    at.Machine = ComputerName;
    return at;
}

int ExitOf(const remote::RemoteRun& run) {
    return run.Unusable ? ExitUsage : run.Ok() ? ExitOk : ExitFailed;
}

std::string Files(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " file" : " files");
}

} // namespace

int Push(const Options& options, Console& console) {
    remote::PushChoices choices;
    choices.At = WhereOf(options);
    for (const std::string& argument : options.Arguments) {
        const std::string name = SetByName(argument);
        if (std::find(choices.Sets.begin(), choices.Sets.end(), name) == choices.Sets.end())
            choices.Sets.push_back(name);
    }
    ConsoleReporter reporter(console, "pushed");
    const remote::RemoteRun run = remote::Push(choices, reporter);
    for (const remote::MovedSet& set : run.Sets)
        console.Out(PrintableText("pushed " + set.Set + " (" + Files(set.Files) + ")"));
    if (run.Sets.empty() && run.Ok())
        console.Error("Nothing to push.");
    return ExitOf(run);
}

std::string PushAfterBackup(const Options& options, Console& console, bool& failed) {
    remote::RemoteRun run;
    try {
        remote::PushChoices choices;
        choices.At = WhereOf(options);
        ConsoleReporter reporter(console, {});
        run = remote::Push(choices, reporter);
    } catch (const std::exception& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        failed = true;
        return std::string("push failed: ") + e.what();
    }
    std::string names;
    for (const remote::MovedSet& set : run.Sets) {
        console.Error(
            PrintableText("mfbackup-cli: pushed " + set.Set + " (" + Files(set.Files) + ")"));
        names += (names.empty() ? "" : ", ") + set.Set;
    }
    failed = !run.Ok();
    if (failed)
        return "push failed" + (names.empty() ? std::string() : " after pushing " + names);
    return names.empty() ? "nothing to push" : "pushed " + names;
}

int Pull(const Options& options, Console& console) {
    remote::PullChoices choices;
    choices.At = WhereOf(options);
    choices.From = options.From;
    if (options.MaxFileSize)
        choices.MaxFileSize = *options.MaxFileSize;
    else if (!remote::ReadMaxFileSizeSetting(SettingsFilePath(), choices.MaxFileSize))
        throw Refusal("cannot read the max-file-size setting " +
                      remote::MaxFileSizeSettingPath(SettingsFilePath()) + ": " +
                      platform::SysErrorMessage(platform::GetLastError()));
    ConsoleReporter reporter(console, "pulled");
    const remote::RemoteRun run = remote::Pull(choices, reporter);
    for (const remote::MovedSet& set : run.Sets)
        console.Out(PrintableText("pulled " + set.Machine + "/" + set.Set + " -> " + set.Local));
    if (run.Sets.empty() && run.Ok())
        console.Error("Nothing to pull.");
    return ExitOf(run);
}

// By machine, each set a line:
//   BRAVO
//     MFB1A2B  2026-12-07T16:09:12  3 files  here: MFB3C4D  Before the dragon
int RemoteSets(const Options& options, Console& console) {
    const remote::Where at = WhereOf(options);
    std::vector<remote::RemoteSetInfo> sets;
    const remote::Status status = remote::ListRemoteSets(at, sets);
    if (!status.Good()) {
        console.Error(status.Message);
        return status.What == remote::Status::NoRclone ? ExitUsage : ExitFailed;
    }
    if (options.Json) {
        QJsonArray array;
        for (const remote::RemoteSetInfo& set : sets)
            array.append(
                QJsonObject{{"machine", Q(set.Machine)},
                            {"set", Q(set.Set)},
                            {"date", Q(LocalIsoDate(set.Time, true))},
                            {"description", Q(set.Description)},
                            {"files", static_cast<qint64>(set.Files)},
                            {"bytes", static_cast<qint64>(set.Bytes)},
                            {"whole", set.Whole},
                            {"this_machine", set.Mine},
                            {"here", set.Here.empty() ? QJsonValue() : QJsonValue(Q(set.Here))}});
        PrintJsonDocument(console, QJsonDocument(array));
        return ExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> widths(4, 0);
    for (const remote::RemoteSetInfo& set : sets) {
        const std::string here = !set.Whole         ? "incomplete"
                                 : set.Here.empty() ? "not here"
                                 : set.Mine         ? "here"
                                                    : "here: " + set.Here;
        rows.push_back(
            {set.Set, LocalIsoDate(set.Time, false), Files(set.Files), here, set.Description});
        for (std::size_t i = 0; i < widths.size(); ++i)
            widths[i] = std::max(widths[i], rows.back()[i].size());
    }
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (i == 0 || sets[i].Machine != sets[i - 1].Machine)
            console.Out(PrintableText(sets[i].Machine + (sets[i].Mine ? " (this machine)" : "")));
        std::string line = " ";
        for (std::size_t c = 0; c < rows[i].size(); ++c) {
            line += " " + rows[i][c];
            if (c < widths.size())
                line += std::string(widths[c] - rows[i][c].size() + 1, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        console.Out(PrintableText(line));
    }
    return ExitOk;
}

std::string ShownRemoteSetting(bool json) {
    std::string remote;
    remote::ReadRemoteSetting(SettingsFilePath(), remote);
    return remote.empty() && !json ? "none" : remote::HideSecrets(remote);
}

int SetRemoteSetting(const std::string& value, Console& console) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw UsageError("a remote is one line");
    if (remote::WriteRemoteSetting(SettingsFilePath(), value))
        return ExitOk;
    console.Error("Cannot create file " + remote::RemoteSettingPath(SettingsFilePath()) + ": " +
                  platform::SysErrorMessage(platform::GetLastError()));
    return ExitFailed;
}

std::optional<std::uint64_t> MaxFileSizeSetting() {
    std::uint64_t bytes = 0;
    if (!remote::ReadMaxFileSizeSetting(SettingsFilePath(), bytes))
        return std::nullopt;
    return bytes;
}

int SetMaxFileSizeSetting(const std::string& value, Console& console) {
    const std::uint64_t bytes = value.empty() ? 0 : ParseSize(value, "max-file-size");
    if (remote::WriteMaxFileSizeSetting(SettingsFilePath(), bytes))
        return ExitOk;
    console.Error("Cannot create file " + remote::MaxFileSizeSettingPath(SettingsFilePath()) +
                  ": " + platform::SysErrorMessage(platform::GetLastError()));
    return ExitFailed;
}

} // namespace cli
