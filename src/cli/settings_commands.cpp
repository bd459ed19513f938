#include "cli/settings_commands.h"

#include "cli/console.h"
#include "cli/options.h"
#include "cli/shared.h"
#include "games/game_locations.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"
#include "settings/folder_checks.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {
namespace {

// The remote setting as `settings` shows it: its secrets hidden; none is
// "none" in the text, "" in JSON.
std::string ShownRemoteSetting(bool json) {
    std::string remote;
    remote::ReadRemoteSetting(SettingsFilePath(), remote);
    return remote.empty() && !json ? "none" : remote::HideSecrets(remote);
}

// `settings set remote VALUE`; "" removes the setting.
int SetRemoteSetting(const std::string& value, Console& console) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw UsageError("a remote is one line");
    if (remote::WriteRemoteSetting(SettingsFilePath(), value))
        return ExitOk;
    console.Error("Cannot create file " + remote::RemoteSettingPath(SettingsFilePath()) + ": " +
                  platform::SysErrorMessage(platform::GetLastError()));
    return ExitFailed;
}

// The max-file-size setting (the default when it is not set); none when its
// file can't be read.
std::optional<std::uint64_t> MaxFileSizeSetting() {
    std::uint64_t bytes = 0;
    if (!remote::ReadMaxFileSizeSetting(SettingsFilePath(), bytes))
        return std::nullopt;
    return bytes;
}

// `settings set max-file-size SIZE`; "" removes the setting.
int SetMaxFileSizeSetting(const std::string& value, Console& console) {
    const std::uint64_t bytes = value.empty() ? 0 : ParseSize(value, "max-file-size");
    if (remote::WriteMaxFileSizeSetting(SettingsFilePath(), bytes))
        return ExitOk;
    console.Error("Cannot create file " + remote::MaxFileSizeSettingPath(SettingsFilePath()) +
                  ": " + platform::SysErrorMessage(platform::GetLastError()));
    return ExitFailed;
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
        return SetRemoteSetting(value, console); // a file of its own, beside the settings
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

} // namespace

int Settings(const Options& options, Console& console) {
    if (options.Arguments.empty())
        return ShowSettings(options, console);
    return SetSetting(options, console);
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

} // namespace cli
