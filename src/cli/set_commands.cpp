#include "cli/set_commands.h"

#include "cli/console.h"
#include "cli/options.h"
#include "cli/shared.h"
#include "core/backup_folder_lock.h"
#include "sets/backup_set.h"
#include "sets/prune.h"
#include "sets/set_list.h"
#include "sets/verify.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <string>
#include <vector>

namespace cli {
namespace {

// A set of the list, with what it holds.
struct Row {
    const sets::SetEntry* Set;
    Holding Held;
    sets::FolderContents Contents;
};

std::vector<Row> Rows(const std::vector<sets::SetEntry>& sets) {
    std::vector<Row> rows;
    for (const sets::SetEntry& set : sets) {
        const sets::FolderContents contents =
            sets::ReadContents(sets::SetFolder(BackupDir(), set.Rec.Name));
        rows.push_back({&set, HoldingOf(contents), contents});
    }
    return rows;
}

void PrintRowsAsJson(const std::vector<Row>& rows, Console& console) {
    QJsonArray array;
    for (const Row& row : rows) {
        QJsonObject object;
        object["name"] = Q(row.Set->Rec.Name);
        object["date"] = Q(LocalIsoDate(row.Set->Rec.WriteTime.tv_sec, true));
        object["description"] = Q(row.Set->Description);
        object["kinds"] = JsonWords(row.Held.Kinds);
        object["files"] = static_cast<qint64>(row.Contents.Files);
        object["bytes"] = static_cast<qint64>(row.Contents.Bytes);
        object["zip"] = row.Held.Zip && row.Held.Kinds.Any();
        object["unfinished"] =
            sets::IsSetUnfinished(sets::SetFolder(BackupDir(), row.Set->Rec.Name));
        array.append(object);
    }
    PrintJson(console, QJsonDocument(array));
}

std::string Padded(const std::string& text, std::size_t width, bool right = false) {
    const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
    return right ? fill + text : text + fill;
}

// A line a set, its columns aligned: name, date, kinds, files, bytes,
// description.
void PrintRows(const std::vector<Row>& rows, Console& console) {
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths(5, 0);
    for (const Row& row : rows) {
        const std::string kinds = Join(KindWords(row.Held.Kinds), ",");
        cells.push_back({PrintableText(row.Set->Rec.Name),
                         LocalIsoDate(row.Set->Rec.WriteTime.tv_sec, false),
                         kinds.empty() ? "-" : kinds, std::to_string(row.Contents.Files),
                         std::to_string(row.Contents.Bytes), PrintableText(row.Set->Description)});
        for (std::size_t i = 0; i < widths.size(); ++i)
            widths[i] = std::max(widths[i], cells.back()[i].size());
    }
    for (const std::vector<std::string>& c : cells) {
        std::string line = Padded(c[0], widths[0]) + "  " + c[1] + "  " + Padded(c[2], widths[2]) +
                           "  " + Padded(c[3], widths[3], true) + "  " +
                           Padded(c[4], widths[4], true) + "  " + c[5];
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        console.Out(line);
    }
}

// The first `shown` of `names` and how many more: a line stays a line.
std::string FirstNames(const std::vector<std::string>& names, std::size_t shown) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i)
        out += (i ? ", " : "") + names[i];
    if (names.size() > shown)
        out += " and " + std::to_string(names.size() - shown) + " more";
    return out;
}

// "MFB1A2B ok (5 files)", "MFB1A2B DAMAGED: game3.sav (checksum); missing:
// net.sav", "MFB1A2B missing: net.sav", "MFB1A2B no checksums (3 files)",
// "MFB1A2B unfinished (2 files)". Ten names of each list at most.
std::string VerifyLine(const sets::SetCheck& check) {
    constexpr std::size_t shown = 10;
    std::vector<std::string> damaged;
    std::vector<std::string> missing;
    for (const sets::FileProblem& problem : check.Problems) {
        if (problem.What == sets::Problem::Missing)
            missing.push_back(problem.File);
        else
            damaged.push_back(problem.File + " (" + sets::ProblemWord(problem.What) + ")");
    }
    switch (check.Status()) {
    case sets::SetStatus::Ok:
        return check.Name + " ok (" + FileCount(check.Files) + ")";
    case sets::SetStatus::NoChecksums:
        return check.Name + " no checksums (" + FileCount(check.Files) + ")";
    case sets::SetStatus::Unfinished:
        return check.Name + " unfinished (" + FileCount(check.Files) + ")";
    case sets::SetStatus::Missing:
        return check.Name + " missing: " + FirstNames(missing, shown);
    case sets::SetStatus::Damaged:
        break;
    }
    std::string line = check.Name + " DAMAGED: " + FirstNames(damaged, shown);
    if (!missing.empty())
        line += "; missing: " + FirstNames(missing, shown);
    return line;
}

} // namespace

int List(const Options& options, Console& console) {
    RequireBackupFolder();
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    const std::vector<Row> rows = Rows(sets);
    if (options.Json)
        PrintRowsAsJson(rows, console);
    else
        PrintRows(rows, console);
    return ExitOk;
}

int Verify(const Options& options, Console& console) {
    RequireBackupFolder();
    std::vector<std::string> names;
    if (options.Arguments.empty()) {
        for (const sets::SetEntry& set : sets::SetsByDate(BackupDir()))
            names.push_back(set.Rec.Name);
    }
    for (const std::string& argument : options.Arguments)
        names.push_back(SetByName(argument));

    int status = ExitOk;
    QJsonArray array;
    for (const std::string& name : names) {
        const sets::SetCheck check = sets::VerifySet(sets::SetFolder(BackupDir(), name), name);
        if (!check.Complete)
            console.Error(check.Incomplete);
        const sets::SetStatus verdict = check.Status();
        if (verdict == sets::SetStatus::Damaged || verdict == sets::SetStatus::Missing ||
            verdict == sets::SetStatus::Unfinished || !check.Complete)
            status = ExitFailed;
        if (!options.Json) {
            console.Out(PrintableText(VerifyLine(check)));
            continue;
        }
        QJsonArray problems;
        for (const sets::FileProblem& problem : check.Problems)
            problems.append(QJsonObject{{"file", Q(problem.File)},
                                        {"problem", Q(sets::ProblemWord(problem.What))}});
        array.append(QJsonObject{{"name", Q(name)},
                                 {"status", Q(sets::StatusWord(verdict))},
                                 {"files", static_cast<qint64>(check.Files)},
                                 {"checksums", check.Checksums},
                                 {"problems", problems}});
    }
    if (options.Json)
        PrintJson(console, QJsonDocument(array));
    return status;
}

int Prune(const Options& options, Console& console) {
    RequireBackupFolder();
    ConsoleReporter reporter(console, "removed");
    core::BackupFolderLock lock;
    if (!options.DryRun && !lock.Take(BackupDir(), "Pruning", reporter))
        return ExitOk;
    int status = ExitOk;
    for (const sets::PruneStep& step : sets::Prune(BackupDir(), *options.Keep, options.DryRun)) {
        const sets::SetEntry& set = step.Set;
        const std::string& name = set.Rec.Name;
        const std::string label =
            name + " (" + LocalIsoDate(set.Rec.WriteTime.tv_sec, false) +
            (set.Description.empty() ? std::string() : ", " + set.Description) + ")";
        switch (step.Outcome) {
        case sets::PruneOutcome::Removed:
            console.Out(PrintableText("removed " + label));
            break;
        case sets::PruneOutcome::WouldRemove:
            console.Out(PrintableText("would remove " + label));
            break;
        case sets::PruneOutcome::KeptCopy: // as it should be: no failure
            console.Out(PrintableText("kept " + name + ": " + step.Why));
            break;
        case sets::PruneOutcome::Kept:
            console.Error(PrintableText("kept " + name + ": " + step.Why));
            status = ExitFailed;
            break;
        case sets::PruneOutcome::Failed:
            console.Error(PrintableText("could not remove " + name + " whole: " + step.Why));
            status = ExitFailed;
            break;
        }
    }
    return status;
}

} // namespace cli
