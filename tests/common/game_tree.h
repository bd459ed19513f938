#pragma once

// The game and backup folders with the settings pointing at them.

#include "common/game_folders.h"
#include "settings/backup_config.h"

class GameTree : public GameFolders {
protected:
    void SetUp() override {
        GameFolders::SetUp();
        SetDefaultConfig();
        BackupConfig.GameDir.Set(gameDir);
        BackupConfig.BackupDir.Set(backupDir);
        BackupConfig.Characters = BackupConfig.Multiplayer = BackupConfig.SinglePlayer = 1;
        BackupConfig.ZipBackups = 0;
        BackupConfig.OwnerOnRestore = 0;
        ComputerName = "MOONHOST";
    }
};
