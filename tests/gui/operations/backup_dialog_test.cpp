// The Backup dialog: its kind boxes, and OK running the backup with the
// choices read from its controls and the settings (the backup itself is
// tested in tests/core).

#include "dialog_tree.h"

#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/restore_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace fs = std::filesystem;

namespace {

class BackupDialog : public DialogTest<TfmBackup> {
protected:
    BackupDialog() : DialogTest(&fmBackup) {}
};

TEST_F(BackupDialog, KindBoxesFollowTestFilesArchiveBitsAndSettings) {
    Save("characters/characters.lpl", "c");
    MarkClean(Save("games/game1.sav", "1"));
    Save("games/game2.sav", "2"); // changed, but only the first match counts
    BackupConfig.Characters = 1;
    dlg->show();
    EXPECT_EQ(Kinds(), "EC -- -- OK"); // no net.sav

    dlg->ckArchive->click(); // "Ignore archivebit"
    EXPECT_EQ(Kinds(), "EC -- E- OK");
    dlg->ckSingle->click();
    dlg->ckChar->click();
    dlg->ckArchive->click();
    // Disabled again but still checked: OK stays enabled for it.
    EXPECT_EQ(Kinds(), "E- -- -C OK");
    dlg->hide();

    BackupConfig.Characters = 0;
    dlg->ckSingle->setChecked(false);
    dlg->show();
    EXPECT_EQ(Kinds(), "E- -- -- --");
}

TEST_F(BackupDialog, OkBacksUpTheCheckedKindsWithTheDescriptionTypedInTheFormTheSettingsSay) {
    BackupConfig.ZipBackups = 1;
    Save("characters/characters.lpl", "characters");
    const std::string net = Save("net/net.sav", "net game");
    Save("games/game1.sav", "one");
    dlg->show();
    dlg->ckSingle->click();
    QTest::keyClicks(dlg->EdDesc, "Before the boss");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(Shown(), "");
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.zip", "desc.txt", "net.zip"}));
    EXPECT_EQ(testenv::ReadFile(set + "desc.txt"), "Before the boss\r\n");
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Backing Up");
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(), net);

    // Nothing changed of the kinds checked: one box says so, and no set.
    dlg->show();
    dlg->ckSingle->click();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Shown(), "Nothing found to backup!");
    EXPECT_EQ(Sets().size(), 1u);
}

TEST_F(BackupDialog, BackupAndRestoreSayWhenTheGameFolderHoldsNoSaveFolder) {
    TfmRestore restore;
    TfmExport exporter;
    EXPECT_EQ(exporter.LbNoSave, nullptr) << "Export writes nothing into the game";
    const std::string line = "No Moonforge save folder in " + gameDir +
                             ". Choose the game's folder in Settings (Find looks for it).";
    // Where the line lies at a large font is the looks test's.
    const std::pair<QDialog*, QLabel*> dialogs[] = {{dlg, dlg->LbNoSave},
                                                    {&restore, restore.LbNoSave}};
    for (const auto& [dialog, label] : dialogs) {
        dialog->show(); // fitted to the font in use, without the line
        const QSize designed = dialog->size();
        dialog->hide();
        fs::rename(gameDir + "save", gameDir + "elsewhere");
        dialog->show();
        EXPECT_TRUE(label->isVisible());
        EXPECT_EQ(label->text().toStdString(), line);
        EXPECT_EQ(dialog->width(), designed.width());
        EXPECT_GT(dialog->height(), designed.height());
        dialog->hide();

        fs::rename(gameDir + "elsewhere", gameDir + "save");
        dialog->show();
        EXPECT_FALSE(label->isVisible());
        EXPECT_EQ(dialog->size(), designed);
        dialog->hide();
    }
}

} // namespace
