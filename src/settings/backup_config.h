#pragma once

// The settings record, its 517-byte file image, and this machine's name.

#include "games/game_locations.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A length byte and 255 character bytes (UTF-8). Storing a value writes the
// length and the characters only: the bytes behind are kept as they stand,
// since the file keeps them too.
class ShortString {
public:
    static constexpr std::size_t Capacity = 255;

    std::string Get() const;
    // Stores `text` cut to 255 bytes (never inside a UTF-8 sequence).
    void Set(std::string_view text);

    std::array<std::uint8_t, Capacity + 1> Bytes{};
};

struct TBackupConfig {
    static constexpr std::size_t Size = 517;

    std::uint8_t Characters = 0; // 0: false, anything else: true
    std::uint8_t Multiplayer = 0;
    std::uint8_t SinglePlayer = 0;
    ShortString GameDir;             // offset 3
    ShortString BackupDir;           // offset 259
    std::uint8_t ZipBackups = 0;     // offset 515
    std::uint8_t OwnerOnRestore = 0; // offset 516

    std::array<std::uint8_t, Size> ToBytes() const;
    // Overwrites the leading `count` bytes of the record (at most Size).
    void FromBytes(const std::uint8_t* data, std::size_t count);
};

extern TBackupConfig BackupConfig;
extern std::string ComputerName; // empty when unknown

// Where the settings live: the file given to SetSettingsFilePath, else
// $XDG_CONFIG_HOME/mfbackup.ini, else $HOME/.config/mfbackup.ini.
std::string SettingsFilePath();
// Reads and writes the settings in `path` from now on; "" goes back to the
// usual place. For the command line's --config.
void SetSettingsFilePath(std::string path);
std::string DefaultGameDir(); // Wine prefix + "/drive_c/Program Files/Corvanta Software/Moonforge/"
std::string DefaultBackupDir(); // $HOME + "/Moonforge Backup/"

// The Moonforge installations of this user (games::FindGameInstallations)
// whose folder fits GameDir's 255 bytes, in the order they were found.
std::vector<games::GameInstallation> FindGameFolders();

void SetDefaultConfig();
enum class ConfigRead {
    Read,      // the file's bytes are in BackupConfig
    NotOpened, // missing or refused: BackupConfig is as it was
    Failed,    // opened but a read failed: BackupConfig is as it was
};
// Fills BackupConfig from the settings file, never writing it.
ConfigRead ReadConfig();
// A first start (no settings file): GameDir becomes the first installation
// found, if any.
void TakeFirstGameFolder();
// Makes the folder `dir` (ending in '/') when it is missing and the folder
// above it exists. True when it was made now.
bool MakeBackupFolder(const std::string& dir);
// ReadConfig; when the file can't be opened, TakeFirstGameFolder, write the
// file from the current values and make the backup folder they name. False,
// with `why`, when the file could not be written (the values stay in effect).
bool LoadConfig(std::string& why);
// Writes the whole record atomically. False, with `why` ("Cannot create file
// <path>"), when it could not be written: the old file stays as it was.
bool SaveConfig(std::string& why);
// ComputerName as the game sees it: from the system.reg of the Wine prefix
// holding GameDir, else of $WINEPREFIX (or ~/.wine), else the host name.
// False, with `why` ("Invalid data type for 'ComputerName'") and an empty
// name, when the registry holds a value of another type.
bool ReadMachineIdentity(std::string& why);

// The start-up step, run before the application object exists: defaults,
// LoadConfig, ReadMachineIdentity. The errors it met, to be shown once
// windows can be.
std::vector<std::string> InitialiseSettings();
