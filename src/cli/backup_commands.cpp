#include "cli/backup_commands.h"

#include "cli/console.h"
#include "cli/options.h"
#include "cli/shared.h"
#include "core/backup.h"
#include "core/export.h"
#include "core/import.h"
#include "core/restore.h"
#include "core/safety.h"
#include "sets/backup_set.h"
#include "sets/set_list.h"
#include "settings/backup_config.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace cli {
namespace {

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

// "2 changed single-player saves".
std::string ChangedSaves(sets::Kind kind, std::size_t count) {
    const char* what = kind == sets::Kind::Characters    ? " changed character list"
                       : kind == sets::Kind::Multiplayer ? " changed multiplayer save"
                                                         : " changed single-player save";
    return std::to_string(count) + what + (count == 1 ? "" : "s");
}

// The saves the backup's search found changed of the kinds it left out,
// most first, so that none is missed unseen.
void SayLeftOut(std::vector<std::pair<sets::Kind, std::size_t>> leftOut, Console& console) {
    if (leftOut.empty())
        return;
    std::stable_sort(leftOut.begin(), leftOut.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<std::string> parts;
    for (const auto& [kind, count] : leftOut)
        parts.push_back(ChangedSaves(kind, count));
    console.Error("not taken: " + Join(parts, ", ") + "; use --kinds all");
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

// The newest set a restore kept the game's files in before it replaced them.
std::string NewestSafetySet() {
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    for (auto set = sets.rbegin(); set != sets.rend(); ++set)
        if (set->Description.rfind(core::SafetySetDescription, 0) == 0)
            return set->Rec.Name;
    throw Refusal(std::string("no restore to undo: no set \"") + core::SafetySetDescription +
                  "...\" in " + BackupDir());
}

} // namespace

int Backup(const Options& options, Console& console) {
    RequireBackupFolder();
    RequireGameFolder();
    core::BackupChoices choices;
    // Unlike the window, which looks at a kind's first file only, every save
    // file counts on its own: a run from a timer misses no changed game.
    choices.GameDir = GameDir();
    choices.BackupDir = BackupDir();
    choices.Kinds = options.Kinds ? options.Kinds->Kinds : DefaultKinds();
    choices.Description = options.Description.value_or("");
    choices.Zip = options.Zip.value_or(ZipSetting());
    choices.DryRun = options.DryRun;
    ConsoleReporter reporter(console, "backed up", "back up");
    const core::BackupResult result = core::Backup(choices, reporter);
    SayLeftOut(result.LeftOut, console);
    return ExitStatusOf(result);
}

int Restore(const Options& options, Console& console) {
    RequireBackupFolder();
    RequireGameFolder();
    core::RestoreChoices choices;
    if (!PlanOf(options, SetByName(options.Arguments[0]), "restore", console, choices.Plan))
        return ExitOk;
    if (options.Owner.value_or(BackupConfig.OwnerOnRestore != 0))
        choices.Owner = ComputerName;
    choices.DryRun = options.DryRun;
    choices.Plan.Safety = !options.NoSafety;
    choices.Plan.SafetyZip = ZipSetting();
    ConsoleReporter reporter(console, "restored", "restore", true);
    return ExitStatusOf(core::Restore(choices, reporter));
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
    return ExitStatusOf(core::Restore(choices, reporter));
}

int Export(const Options& options, Console& console) {
    RequireBackupFolder();
    core::ExportChoices choices;
    const std::string setName = SetByName(options.Arguments[0]);
    choices.Folder = GivenFolder(options.Arguments[1]);
    if (!PlanOf(options, setName, "export", console, choices.Plan))
        return ExitOk;
    ConsoleReporter reporter(console, "exported");
    return ExitStatusOf(core::Export(choices, reporter));
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
    return ExitStatusOf(core::Import(choices, reporter));
}

} // namespace cli
