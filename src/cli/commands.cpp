#include "cli/commands.h"

#include "cli/auto_commands.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/remote_commands.h"
#include "core/backup.h"
#include "core/backup_folder_lock.h"
#include "core/export.h"
#include "core/import.h"
#include "core/restore.h"
#include "core/safety.h"
#include "games/game_locations.h"
#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/backup_set.h"
#include "sets/kinds.h"
#include "sets/prune.h"
#include "sets/set_list.h"
#include "sets/verify.h"
#include "settings/backup_config.h"
#include "settings/folder_checks.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace cli {
namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A path given on the command line as it is stored or shown: absolute.
std::string Absolute(const std::string& path) {
    if (path.empty() || path.front() == platform::PathDelim)
        return path;
    return platform::GetCurrentDirectory() + platform::PathDelim + path;
}

// An existing folder given on the command line, with its final separator.
std::string GivenFolder(const std::string& path) {
    const std::string folder = platform::IncludeTrailingPathDelimiter(Absolute(path));
    if (!platform::DirectoryExists(folder))
        throw Refusal("no folder " + folder);
    return folder;
}

void RequireFolder(const std::string& folder, const char* what) {
    if (!platform::DirectoryExists(folder))
        throw Refusal(std::string("the ") + what + " " + folder + " does not exist");
}

std::string BackupDir() {
    return BackupConfig.BackupDir.Get();
}

std::string GameDir() {
    return BackupConfig.GameDir.Get();
}

} // namespace

void RequireBackupFolder() {
    RequireFolder(BackupDir(), "backup folder");
}

void RequireGameFolder() {
    RequireFolder(GameDir(), "game folder");
}

namespace {

bool Missing(const std::string& path) {
    if (platform::GetFileAttributes(path) != platform::INVALID_FILE_ATTRIBUTES)
        return false;
    const std::uint32_t error = platform::GetLastError();
    return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
}

} // namespace

void LoadSettings(const std::string& configFile, bool mayWrite, Console& console) {
    SetSettingsFilePath(Absolute(configFile));
    SetDefaultConfig();
    switch (ReadConfig()) {
    case ConfigRead::Read:
        break;
    case ConfigRead::NotOpened:
        if (Missing(SettingsFilePath())) {
            TakeFirstGameFolder();
            if (mayWrite) {
                std::string why;
                if (!SaveConfig(why))
                    console.Error(why);
                const std::string backupDir = BackupDir();
                if (MakeBackupFolder(backupDir))
                    console.Error("made the backup folder " + backupDir);
            }
            break;
        }
        [[fallthrough]];
    case ConfigRead::Failed:
        throw Refusal("cannot read the settings file " + SettingsFilePath());
    }
    std::string why;
    if (!ReadMachineIdentity(why))
        console.Error(why);
}

namespace {

bool ZipSetting() {
    return BackupConfig.ZipBackups != 0;
}

int Status(const core::RunResult& result) {
    return result.Ok() ? ExitOk : ExitFailed;
}

// A set by its folder name, in any letter case, or "latest".
std::string FindSet(const std::string& name) {
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    if (name == "latest" && !sets.empty())
        return sets.back().Rec.Name;
    for (const sets::SetEntry& set : sets)
        if (platform::EqualIgnoringAsciiCase(set.Rec.Name, name))
            return set.Rec.Name;
    throw Refusal("no set " + name + " in " + BackupDir());
}

// The form a folder's save files are in and the kinds it holds in it: a set
// or medium is read as it was written, the settings decide only when it holds
// both forms or none.
struct Holding {
    bool Zip = false;
    sets::KindSet Kinds;
};

Holding HoldingOf(const sets::FolderContents& contents) {
    const bool zip = contents.InArchives(ZipSetting());
    return {zip, zip ? contents.Archived : contents.Plain};
}

// The kinds the command takes from what `where` holds: every kind it holds,
// unless --kinds names some; a named kind it lacks is refused.
sets::KindSet ChosenKinds(const Options& options, const sets::KindSet& held,
                          const std::string& where) {
    if (!options.Kinds || options.Kinds->All)
        return held;
    for (sets::Kind kind : sets::AllKinds)
        if (options.Kinds->Kinds.Has(kind) && !held.Has(kind))
            throw Refusal(where + " holds no " + KindWord(kind) + " files");
    return options.Kinds->Kinds;
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : separator) + word;
    return out;
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

// `text` as a terminal may show it: each control character (C0, DEL, and C1
// as UTF-8 codes it) written as \xHH, so that a description or a file name
// can't clear the screen, ring the bell or move the cursor.
std::string Printable(const std::string& text) {
    return platform::PrintableText(text);
}

QJsonArray JsonWords(const sets::KindSet& kinds) {
    QJsonArray array;
    for (const std::string& word : KindWords(kinds))
        array.append(Q(word));
    return array;
}

void PrintJson(Console& console, const QJsonDocument& document) {
    std::string text = document.toJson(QJsonDocument::Indented).toStdString();
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    console.Out(text);
}

// ISO 8601 in local time, with its offset from UTC when asked.
std::string IsoDate(const timespec& time, bool withOffset) {
    const QDateTime local =
        QDateTime::fromSecsSinceEpoch(static_cast<qint64>(time.tv_sec), Qt::LocalTime);
    std::string text = local.toString("yyyy-MM-dd'T'HH:mm:ss").toStdString();
    if (withOffset) {
        const int offset = local.offsetFromUtc();
        const int minutes = std::abs(offset) / 60;
        char zone[8];
        std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60 % 100,
                      minutes % 60);
        text += zone;
    }
    return text;
}

std::string Padded(const std::string& text, std::size_t width, bool right = false) {
    const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
    return right ? fill + text : text + fill;
}

int List(const Options& options, Console& console) {
    RequireBackupFolder();
    struct Row {
        const sets::SetEntry* Set;
        Holding Held;
        sets::FolderContents Contents;
    };
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    std::vector<Row> rows;
    for (const sets::SetEntry& set : sets) {
        const sets::FolderContents contents =
            sets::ReadContents(sets::SetFolder(BackupDir(), set.Rec.Name));
        rows.push_back({&set, HoldingOf(contents), contents});
    }

    if (options.Json) {
        QJsonArray array;
        for (const Row& row : rows) {
            QJsonObject object;
            object["name"] = Q(row.Set->Rec.Name);
            object["date"] = Q(IsoDate(row.Set->Rec.WriteTime, true));
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
        return ExitOk;
    }

    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths(5, 0);
    for (const Row& row : rows) {
        const std::string kinds = Join(KindWords(row.Held.Kinds), ",");
        cells.push_back({Printable(row.Set->Rec.Name), IsoDate(row.Set->Rec.WriteTime, false),
                         kinds.empty() ? "-" : kinds, std::to_string(row.Contents.Files),
                         std::to_string(row.Contents.Bytes), Printable(row.Set->Description)});
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
    return ExitOk;
}

// The kinds the settings check by default.
sets::KindSet DefaultKinds() {
    return {BackupConfig.Characters != 0, BackupConfig.Multiplayer != 0,
            BackupConfig.SinglePlayer != 0};
}

// "2 changed single-player saves".
std::string ChangedSaves(sets::Kind kind, std::size_t count) {
    const char* what = kind == sets::Kind::Characters    ? " changed character list"
                       : kind == sets::Kind::Multiplayer ? " changed multiplayer save"
                                                         : " changed single-player save";
    return std::to_string(count) + what + (count == 1 ? "" : "s");
}

int Backup(const Options& options, Console& console) {
    RequireBackupFolder();
    RequireGameFolder();
    core::BackupChoices choices;
    // Unlike the window, which looks at a kind's first file only, every save
    // file counts on its own: a run from a timer misses no changed game.
    choices.GameDir = GameDir();
    choices.BackupDir = BackupDir();
    choices.Kinds = options.Kinds ? options.Kinds->Kinds : DefaultKinds();
    std::vector<std::pair<sets::Kind, std::size_t>> leftOut;
    for (sets::Kind kind : sets::AllKinds) {
        sets::KindSet one;
        one.Set(kind, true);
        if (const std::size_t changed = core::ChangedFiles(GameDir(), one).size();
            changed != 0 && !choices.Kinds.Has(kind))
            leftOut.emplace_back(kind, changed);
    }
    choices.Description = options.Description.value_or("");
    choices.Zip = options.Zip.value_or(ZipSetting());
    choices.DryRun = options.DryRun;
    ConsoleReporter reporter(console, "backed up", "back up");
    const int status = Status(core::Backup(choices, reporter));

    // The saves left out, most first, so that none is missed unseen.
    if (!leftOut.empty()) {
        std::stable_sort(leftOut.begin(), leftOut.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::vector<std::string> parts;
        for (const auto& [kind, count] : leftOut)
            parts.push_back(ChangedSaves(kind, count));
        console.Error("not taken: " + Join(parts, ", ") + "; use --kinds all");
    }
    return status;
}

// What a restore, export or import takes from `folder`: its form and the
// chosen kinds. False, said on standard error, when it holds none of them.
bool Take(const Options& options, const std::string& folder, const std::string& where,
          const char* verb, Console& console, bool& zip, sets::KindSet& kinds) {
    const Holding held = HoldingOf(sets::ReadContents(folder));
    zip = held.Zip;
    kinds = ChosenKinds(options, held.Kinds, where);
    if (!kinds.Any())
        console.Error(std::string("Nothing to ") + verb + " in " + where);
    return kinds.Any();
}

// The plan of a restore or export of the set `setName`: what it holds of
// the kinds asked for, in the form it holds them. False, said on standard
// error, when it holds none of them.
bool PlanOf(const Options& options, const std::string& setName, const char* verb, Console& console,
            core::RestorePlan& plan) {
    plan.BackupDir = BackupDir();
    plan.GameDir = GameDir();
    plan.SetName = setName;
    return Take(options, sets::SetFolder(plan.BackupDir, setName), "set " + setName, verb, console,
                plan.Zip, plan.Kinds);
}

int Restore(const Options& options, Console& console) {
    RequireBackupFolder();
    RequireGameFolder();
    core::RestoreChoices choices;
    if (!PlanOf(options, FindSet(options.Arguments[0]), "restore", console, choices.Plan))
        return ExitOk;
    if (options.Owner.value_or(BackupConfig.OwnerOnRestore != 0))
        choices.Owner = ComputerName;
    choices.DryRun = options.DryRun;
    choices.Plan.Safety = !options.NoSafety;
    choices.Plan.SafetyZip = ZipSetting();
    ConsoleReporter reporter(console, "restored", "restore", true);
    return Status(core::Restore(choices, reporter));
}

// The newest set a restore kept the game's files in before it replaced them.
std::string NewestSafetySet() {
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    for (auto set = sets.rbegin(); set != sets.rend(); ++set)
        if (set->Description.rfind(core::SafetySetDescription, 0) == 0)
            return set->Rec.Name;
    throw Refusal(std::string("no restore to undo: no set \"") + core::SafetySetDescription +
                  "...\" in " + BackupDir());
}

// Restores the newest safety set as it was kept, byte for byte: no owner
// block is written and no safety set of its own is made.
int Undo(const Options& options, Console& console) {
    RequireBackupFolder();
    RequireGameFolder();
    core::RestoreChoices choices;
    if (!PlanOf(options, NewestSafetySet(), "restore", console, choices.Plan))
        return ExitOk;
    choices.DryRun = options.DryRun;
    choices.Plan.Safety = false;
    ConsoleReporter reporter(console, "restored", "restore", true);
    return Status(core::Restore(choices, reporter));
}

int Export(const Options& options, Console& console) {
    RequireBackupFolder();
    core::ExportChoices choices;
    const std::string setName = FindSet(options.Arguments[0]);
    choices.Folder = GivenFolder(options.Arguments[1]);
    if (!PlanOf(options, setName, "export", console, choices.Plan))
        return ExitOk;
    ConsoleReporter reporter(console, "exported");
    return Status(core::Export(choices, reporter));
}

int Import(const Options& options, Console& console) {
    RequireBackupFolder();
    core::ImportChoices choices;
    choices.BackupDir = BackupDir();
    choices.Folder = GivenFolder(options.Arguments[0]);
    if (!Take(options, choices.Folder, choices.Folder, "import", console, choices.Zip,
              choices.Kinds))
        return ExitOk;
    ConsoleReporter reporter(console, "imported");
    return Status(core::Import(choices, reporter));
}

std::string FileCount(std::size_t files) {
    return std::to_string(files) + (files == 1 ? " file" : " files");
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

int Verify(const Options& options, Console& console) {
    RequireBackupFolder();
    std::vector<std::string> names;
    if (options.Arguments.empty()) {
        for (const sets::SetEntry& set : sets::SetsByDate(BackupDir()))
            names.push_back(set.Rec.Name);
    }
    for (const std::string& argument : options.Arguments)
        names.push_back(FindSet(argument));

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
            console.Out(Printable(VerifyLine(check)));
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
            name + " (" + IsoDate(set.Rec.WriteTime, false) +
            (set.Description.empty() ? std::string() : ", " + set.Description) + ")";
        switch (step.Outcome) {
        case sets::PruneOutcome::Removed:
            console.Out(Printable("removed " + label));
            break;
        case sets::PruneOutcome::WouldRemove:
            console.Out(Printable("would remove " + label));
            break;
        case sets::PruneOutcome::KeptCopy: // as it should be: no failure
            console.Out(Printable("kept " + name + ": " + step.Why));
            break;
        case sets::PruneOutcome::Kept:
            console.Error(Printable("kept " + name + ": " + step.Why));
            status = ExitFailed;
            break;
        case sets::PruneOutcome::Failed:
            console.Error(Printable("could not remove " + name + " whole: " + step.Why));
            status = ExitFailed;
            break;
        }
    }
    return status;
}

// Every installation found, as the Settings window's Find lists them, for a
// script or a user to pick one with `settings set game-dir`.
int Find(const Options& options, Console& console) {
    const std::vector<games::GameInstallation> found = FindGameFolders();
    if (options.Json) {
        QJsonArray array;
        for (const games::GameInstallation& game : found)
            array.append(QJsonObject{{"game_dir", Q(game.GameDir)},
                                     {"launcher", Q(game.Launcher)},
                                     {"prefix", Q(games::PrefixOfPath(game.GameDir))},
                                     {"save_folder", game.HasSave}});
        PrintJson(console, QJsonDocument(array));
    } else {
        for (const games::GameInstallation& game : found)
            console.Out(game.GameDir + "  (" + game.Launcher +
                        (game.HasSave ? "" : ", no save folder yet") + ")");
    }
    if (found.empty()) {
        console.Error("Moonforge was not found. Looked for drive_c/Program Files/Corvanta "
                      "Software/Moonforge/ (and in Program Files (x86)) in the Wine prefixes of:");
        for (const std::string& line : games::WinePrefixSearchPlaces())
            console.Error(line);
    }
    return ExitOk;
}

int ShowSettings(const Options& options, Console& console) {
    const std::string kinds = Join(KindWords(DefaultKinds()), ",");
    if (options.Json) {
        QJsonObject object;
        object["game_dir"] = Q(BackupConfig.GameDir.Get());
        object["backup_dir"] = Q(BackupConfig.BackupDir.Get());
        object["kinds"] = JsonWords(DefaultKinds());
        object["zip"] = ZipSetting();
        object["owner"] = BackupConfig.OwnerOnRestore != 0;
        object["config_file"] = Q(SettingsFilePath());
        object["machine_name"] = Q(ComputerName);
        object["remote"] = Q(ShownRemoteSetting(true));
        const std::optional<std::uint64_t> limit = MaxFileSizeSetting();
        object["max_file_size"] = limit ? QJsonValue(static_cast<qint64>(*limit)) : QJsonValue();
        PrintJson(console, QJsonDocument(object));
        return ExitOk;
    }
    const auto onOff = [](std::uint8_t value) { return value != 0 ? "on" : "off"; };
    console.Out("game-dir      " + BackupConfig.GameDir.Get());
    console.Out("backup-dir    " + BackupConfig.BackupDir.Get());
    console.Out("kinds         " + (kinds.empty() ? std::string("none") : kinds));
    console.Out(std::string("zip           ") + onOff(BackupConfig.ZipBackups));
    console.Out(std::string("owner         ") + onOff(BackupConfig.OwnerOnRestore));
    console.Out("config-file   " + SettingsFilePath());
    console.Out("machine-name  " + ComputerName);
    console.Out("remote        " + ShownRemoteSetting(false));
    const std::optional<std::uint64_t> limit = MaxFileSizeSetting();
    console.Out("max-file-size " + (limit ? SizeText(*limit) : std::string("unreadable")));
    return ExitOk;
}

std::uint8_t OnOff(const std::string& key, const std::string& value) {
    if (value == "on")
        return 1;
    if (value == "off")
        return 0;
    throw UsageError(key + " is on or off, not " + value);
}

// The folder as the Settings dialog would store it; refused as it refuses it.
std::string CheckedFolder(const std::string& value,
                          std::optional<FolderProblem> (*check)(std::string&)) {
    std::string folder = Absolute(value);
    if (const std::optional<FolderProblem> problem = check(folder))
        throw Refusal(problem->Text + ": " + folder);
    return folder;
}

int SetSetting(const Options& options, Console& console) {
    const std::string& key = options.Arguments[1];
    const std::string& value = options.Arguments[2];
    if (key == "game-dir") {
        BackupConfig.GameDir.Set(CheckedFolder(value, CheckGameDir));
    } else if (key == "backup-dir") {
        // A new folder is made when the one above it exists; a slip of a
        // deeper path is still refused.
        const std::string folder = platform::IncludeTrailingPathDelimiter(Absolute(value));
        const bool made =
            !value.empty() && folder.size() <= ShortString::Capacity && MakeBackupFolder(folder);
        BackupConfig.BackupDir.Set(CheckedFolder(value, CheckBackupDir));
        if (made)
            console.Error("made the backup folder " + folder);
    } else if (key == "kinds") {
        const sets::KindSet kinds = ParseKinds(value, true).Kinds;
        BackupConfig.Characters = kinds.Characters ? 1 : 0;
        BackupConfig.Multiplayer = kinds.Multiplayer ? 1 : 0;
        BackupConfig.SinglePlayer = kinds.Single ? 1 : 0;
    } else if (key == "zip") {
        BackupConfig.ZipBackups = OnOff(key, value);
    } else if (key == "owner") {
        BackupConfig.OwnerOnRestore = OnOff(key, value);
    } else if (key == "remote") {
        return SetRemoteSetting(value, console); // a file of its own, beside this one
    } else if (key == "max-file-size") {
        return SetMaxFileSizeSetting(value, console); // as the remote
    } else {
        throw UsageError("unknown setting " + key +
                         " (game-dir, backup-dir, kinds, zip, owner, remote or max-file-size)");
    }
    std::string why;
    if (SaveConfig(why))
        return ExitOk;
    console.Error(why); // "Cannot create file ..."
    return ExitFailed;
}

int Run(const Options& options, Console& console) {
    const std::string& command = options.Command;
    if (command == "list")
        return List(options, console);
    if (command == "backup")
        return Backup(options, console);
    if (command == "restore")
        return Restore(options, console);
    if (command == "undo")
        return Undo(options, console);
    if (command == "export")
        return Export(options, console);
    if (command == "import")
        return Import(options, console);
    if (command == "verify")
        return Verify(options, console);
    if (command == "prune")
        return Prune(options, console);
    if (command == "find")
        return Find(options, console);
    if (command == "wrap")
        return Wrap(options, console);
    if (command == "watch")
        return Watch(options, console);
    if (command == "push")
        return Push(options, console);
    if (command == "pull")
        return Pull(options, console);
    if (command == "remote")
        return RemoteSets(options, console);
    if (options.Arguments.empty())
        return ShowSettings(options, console);
    return SetSetting(options, console);
}

// Standard streams that were closed would be taken by the next file opened,
// and output would land in it.
void KeepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

int RunCommandLine(int argc, char** argv, Console& console) {
    try {
        const Options options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.Help || options.Version) {
            const std::string text =
                options.Help ? HelpText(options.Command) : "mfbackup-cli " MF_VERSION "\n";
            std::fputs(text.c_str(), stdout);
            return ExitOk;
        }
        QCoreApplication app(argc, argv);
        // Finding the game needs no settings, and makes none. The game a
        // wrapper starts starts whatever they say: they are read for its
        // backups.
        if (options.Command != "find" && options.Command != "wrap")
            LoadSettings(options.ConfigFile, !options.DryRun, console);
        return Run(options, console);
    } catch (const UsageError& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what() + " (see mfbackup-cli --help)");
        return ExitUsage;
    } catch (const Refusal& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        return ExitUsage;
    } catch (const std::exception& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        return ExitFailed;
    }
}

} // namespace

std::string SetByName(const std::string& name) {
    return FindSet(name);
}

std::string PrintableText(const std::string& text) {
    return Printable(text);
}

std::string LocalIsoDate(std::int64_t time, bool withOffset) {
    return IsoDate({static_cast<time_t>(time), 0}, withOffset);
}

void PrintJsonDocument(Console& console, const QJsonDocument& document) {
    PrintJson(console, document);
}

int Main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    // A reader that goes away (`| head`) must not end a backup half way.
    std::signal(SIGPIPE, SIG_IGN);
    Console console;
    const int status = RunCommandLine(argc, argv, console);
    // Output that was lost (a full disk, a reader gone) is a failure.
    const std::string why = console.FinishOutput();
    if (why.empty())
        return status;
    console.Error("mfbackup-cli: cannot write to standard output: " + why);
    return status == ExitOk ? ExitFailed : status;
}

} // namespace cli
