#include "settings/backup_config.h"
#include "platform/last_error.h"

#include "games/machine_name.h"
#include "platform/base_folders.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

// The file is the record's raw image, so the record must have no gaps.
static_assert(sizeof(ShortString) == ShortString::Capacity + 1);
static_assert(sizeof(TBackupConfig) == TBackupConfig::Size);
static_assert(offsetof(TBackupConfig, GameDir) == 3);
static_assert(offsetof(TBackupConfig, BackupDir) == 259);
static_assert(offsetof(TBackupConfig, ZipBackups) == 515);
static_assert(offsetof(TBackupConfig, OwnerOnRestore) == 516);

TBackupConfig BackupConfig;
std::string ComputerName;

namespace {

std::string settingsFileOverride;

// The home folder with its trailing separator: from HOME, else the password
// database, as the Wine prefix finds it.
std::string HomeFolder() {
    const std::string home = platform::HomeDirectory();
    return home.empty() ? std::string("/") : platform::IncludeTrailingPathDelimiter(home);
}

} // namespace

std::string ShortString::Get() const {
    return std::string(reinterpret_cast<const char*>(Bytes.data()) + 1, Bytes[0]);
}

void ShortString::Set(std::string_view text) {
    const std::string cut = platform::CutUtf8(text, Capacity);
    Bytes[0] = static_cast<std::uint8_t>(cut.size());
    std::memcpy(Bytes.data() + 1, cut.data(), cut.size());
}

std::array<std::uint8_t, TBackupConfig::Size> TBackupConfig::ToBytes() const {
    std::array<std::uint8_t, Size> out{};
    out[0] = Characters;
    out[1] = Multiplayer;
    out[2] = SinglePlayer;
    std::memcpy(out.data() + 3, GameDir.Bytes.data(), GameDir.Bytes.size());
    std::memcpy(out.data() + 259, BackupDir.Bytes.data(), BackupDir.Bytes.size());
    out[515] = ZipBackups;
    out[516] = OwnerOnRestore;
    return out;
}

void TBackupConfig::FromBytes(const std::uint8_t* data, std::size_t count) {
    // Start from the current image so that a short input replaces only its
    // leading bytes.
    std::array<std::uint8_t, Size> image = ToBytes();
    std::memcpy(image.data(), data, std::min(count, Size));
    Characters = image[0];
    Multiplayer = image[1];
    SinglePlayer = image[2];
    std::memcpy(GameDir.Bytes.data(), image.data() + 3, GameDir.Bytes.size());
    std::memcpy(BackupDir.Bytes.data(), image.data() + 259, BackupDir.Bytes.size());
    ZipBackups = image[515];
    OwnerOnRestore = image[516];
}

std::string SettingsFilePath() {
    if (!settingsFileOverride.empty())
        return settingsFileOverride;
    return platform::IncludeTrailingPathDelimiter(platform::ConfigHome()) + "mfbackup.ini";
}

void SetSettingsFilePath(std::string path) {
    settingsFileOverride = std::move(path);
}

std::string DefaultGameDir() {
    return games::WinePrefix() + "/drive_c/Program Files/Corvanta Software/Moonforge/";
}

std::string DefaultBackupDir() {
    return HomeFolder() + "Moonforge Backup/";
}

std::vector<games::GameInstallation> FindGameFolders() {
    std::vector<games::GameInstallation> found = games::FindGameInstallations();
    // A longer folder would be stored cut, naming another one.
    std::erase_if(found, [](const games::GameInstallation& g) {
        return g.GameDir.size() > ShortString::Capacity;
    });
    return found;
}

void SetDefaultConfig() {
    BackupConfig = TBackupConfig{};
    BackupConfig.Characters = 1;
    BackupConfig.Multiplayer = 1;
    BackupConfig.SinglePlayer = 0;
    BackupConfig.GameDir.Set(DefaultGameDir());
    BackupConfig.BackupDir.Set(DefaultBackupDir());
    BackupConfig.ZipBackups = 0;
    BackupConfig.OwnerOnRestore = 1;
}

ConfigRead ReadConfig() {
    // Read by its bytes: the settings folder's name need not be UTF-8.
    std::string bytes;
    if (!platform::ReadFileHead(SettingsFilePath(), TBackupConfig::Size, bytes))
        // A file that opened but could not be read counts as reading nothing.
        return platform::GetLastError() == platform::ERROR_IO_DEVICE ? ConfigRead::Failed
                                                                     : ConfigRead::NotOpened;
    BackupConfig.FromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return ConfigRead::Read;
}

void TakeFirstGameFolder() {
    const auto found = FindGameFolders();
    if (!found.empty())
        BackupConfig.GameDir.Set(found.front().GameDir);
}

bool MakeBackupFolder(const std::string& dir) {
    return !dir.empty() && !platform::DirectoryExists(dir) && platform::CreateDirectory(dir);
}

bool LoadConfig(std::string& why) {
    if (ReadConfig() != ConfigRead::NotOpened)
        return true;
    // A first start: the game's folder is where the game was found, and the
    // first backup finds its folder there.
    TakeFirstGameFolder();
    const bool saved = SaveConfig(why);
    MakeBackupFolder(BackupConfig.BackupDir.Get());
    return saved;
}

bool SaveConfig(std::string& why) {
    const std::string path = platform::ResolveCase(SettingsFilePath());
    platform::ForceDirectories(platform::ExtractFilePath(path));

    // The whole record reaches the disk before it replaces the old one, so a
    // crash or a full disk leaves the old record, never a short or empty file.
    const auto image = BackupConfig.ToBytes();
    if (platform::WriteWholeFile(path, image.data(), image.size()))
        return true;
    why = "Cannot create file " + path;
    return false;
}

bool ReadMachineIdentity(std::string& why) {
    // The name the game itself sees is in its own prefix's registry.
    games::RegistryString value =
        games::ReadComputerNameValue(games::PrefixOfPath(BackupConfig.GameDir.Get()));
    if (value.Result == games::RegistryString::Missing)
        value = games::ReadComputerNameValue();
    switch (value.Result) {
    case games::RegistryString::Found:
        ComputerName = value.Value;
        break;
    case games::RegistryString::Missing:
        ComputerName = games::HostComputerName();
        break;
    case games::RegistryString::WrongType:
        // Start-up goes on without a name: restore then writes an empty owner.
        ComputerName.clear();
        why = "Invalid data type for 'ComputerName'";
        return false;
    }
    return true;
}

std::vector<std::string> InitialiseSettings() {
    std::vector<std::string> errors;
    std::string why;
    SetDefaultConfig();
    if (!LoadConfig(why))
        errors.push_back(why);
    if (!ReadMachineIdentity(why))
        errors.push_back(why);
    return errors;
}
