#include "cli/shared.h"

#include "cli/console.h"
#include "cli/options.h"
#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"
#include "settings/folder_checks.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>
#include <cstdlib>

namespace cli {
namespace {

bool Missing(const std::string& path) {
    if (platform::GetFileAttributes(path) != platform::INVALID_FILE_ATTRIBUTES)
        return false;
    const std::uint32_t error = platform::GetLastError();
    return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
}

void RequireFolder(const std::string& folder, const char* what) {
    if (!platform::DirectoryExists(folder))
        throw Refusal(std::string("the ") + what + " " + folder + " does not exist");
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

} // namespace

int ExitStatusOf(const core::RunResult& result) {
    return result.Ok() ? ExitOk : ExitFailed;
}

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

std::string BackupDir() {
    return BackupConfig.BackupDir.Get();
}

std::string GameDir() {
    return BackupConfig.GameDir.Get();
}

void RequireBackupFolder() {
    RequireFolder(BackupDir(), "backup folder");
}

void RequireGameFolder() {
    RequireFolder(GameDir(), "game folder");
}

sets::KindSet DefaultKinds() {
    return {BackupConfig.Characters != 0, BackupConfig.Multiplayer != 0,
            BackupConfig.SinglePlayer != 0};
}

bool ZipSetting() {
    return BackupConfig.ZipBackups != 0;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path.front() == platform::PathDelim)
        return path;
    return platform::GetCurrentDirectory() + platform::PathDelim + path;
}

std::string GivenFolder(const std::string& path) {
    const std::string folder = platform::IncludeTrailingPathDelimiter(Absolute(path));
    if (!platform::DirectoryExists(folder))
        throw Refusal("no folder " + folder);
    return folder;
}

std::string SetByName(const std::string& name) {
    const std::vector<sets::SetEntry> sets = sets::SetsByDate(BackupDir());
    if (name == "latest" && !sets.empty())
        return sets.back().Rec.Name;
    for (const sets::SetEntry& set : sets)
        if (platform::EqualIgnoringAsciiCase(set.Rec.Name, name))
            return set.Rec.Name;
    throw Refusal("no set " + name + " in " + BackupDir());
}

Holding HoldingOf(const sets::FolderContents& contents) {
    const bool zip = contents.InArchives(ZipSetting());
    return {zip, zip ? contents.Archived : contents.Plain};
}

remote::Where RemoteWhere(const Options& options) {
    remote::Where at;
    at.Remote = RemoteOf(options);
    at.RcloneConfig = options.RcloneConfig;
    RequireBackupFolder();
    at.BackupDir = BackupDir();
    at.Machine = ComputerName;
    return at;
}

std::string PrintableText(const std::string& text) {
    return platform::PrintableText(text);
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : separator) + word;
    return out;
}

std::string FileCount(std::size_t files) {
    return std::to_string(files) + (files == 1 ? " file" : " files");
}

std::string LocalIsoDate(std::int64_t time, bool withOffset) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(time), Qt::LocalTime);
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

QString Q(const std::string& text) {
    return QString::fromStdString(text);
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

} // namespace cli
