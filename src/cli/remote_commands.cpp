#include "cli/remote_commands.h"

#include "cli/console.h"
#include "cli/options.h"
#include "cli/shared.h"
#include "platform/last_error.h"
#include "remote/push_pull.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <string>
#include <vector>

namespace cli {
namespace {

// The exit status a push or pull comes to.
int ExitStatusOf(const remote::RemoteRun& run) {
    return run.Unusable ? ExitUsage : run.Ok() ? ExitOk : ExitFailed;
}

} // namespace

int Push(const Options& options, Console& console) {
    remote::PushChoices choices;
    choices.At = RemoteWhere(options);
    for (const std::string& argument : options.Arguments) {
        const std::string name = SetByName(argument);
        if (std::find(choices.Sets.begin(), choices.Sets.end(), name) == choices.Sets.end())
            choices.Sets.push_back(name);
    }
    ConsoleReporter reporter(console, "pushed");
    const remote::RemoteRun run = remote::Push(choices, reporter);
    for (const remote::MovedSet& set : run.Sets)
        console.Out(PrintableText("pushed " + set.Set + " (" + FileCount(set.Files) + ")"));
    if (run.Sets.empty() && run.Ok())
        console.Error("Nothing to push.");
    return ExitStatusOf(run);
}

int Pull(const Options& options, Console& console) {
    remote::PullChoices choices;
    choices.At = RemoteWhere(options);
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
    return ExitStatusOf(run);
}

// By machine, each set a line:
//   BRAVO
//     MFB1A2B  2026-12-07T16:09:12  3 files  here: MFB3C4D  Before the dragon
int RemoteSets(const Options& options, Console& console) {
    const remote::Where at = RemoteWhere(options);
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
        PrintJson(console, QJsonDocument(array));
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
            {set.Set, LocalIsoDate(set.Time, false), FileCount(set.Files), here, set.Description});
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

} // namespace cli
