// The Export dialog: Restore's dialog with a destination, and OK exporting
// the checked set into it (the export itself is tested in tests/core).

#include "dialog_tree.h"

#include "gui/operations/export_dialog.h"
#include "gui/widgets/file_dialog.h"
#include "sets/manifest.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace fs = std::filesystem;

namespace {

class ExportDialog : public DialogTest<TfmExport> {
protected:
    ExportDialog() : DialogTest(&fmExport) {}
    void Configure() override { BackupConfig.OwnerOnRestore = 1; } // never read by Export
    // Shows the dialog as the menu does and ticks the first set.
    void ShowAndTickFirstSet() {
        dlg->show();
        ASSERT_GT(dlg->ckRestore->count(), 0);
        dlg->ckRestore->item(0)->setCheckState(Qt::Checked);
    }
};

TEST_F(ExportDialog, DestinationFieldIsShownAndOkNeedsAnExistingFolder) {
    EXPECT_EQ(dlg->Label1->text(), "Items to export:");
    EXPECT_EQ(dlg->EdDestination->text(), "Destination medium");
    for (QWidget* w : {static_cast<QWidget*>(dlg->EdDestination), (QWidget*)dlg->BtBrowse})
        EXPECT_TRUE(!w->isHidden() && w->isEnabled()) << w->objectName().toStdString();
    // Restore's creation steps do not run: the owner box stays off and out of sight.
    EXPECT_TRUE(dlg->ckOwner->isHidden());
    EXPECT_FALSE(dlg->ckOwner->isEnabled() || dlg->ckOwner->isChecked());
    EXPECT_TRUE(dlg->Label3->isHidden());

    MakeSet("MFB1", {{"net.sav", "n"}});
    ShowAndTickFirstSet();
    // Export never keeps the game's saves in a set of their own.
    EXPECT_FALSE(dlg->ckSafety->isVisible() || dlg->ckSafety->isChecked());
    EXPECT_EQ(Kinds(), "-- EC -- --"); // "Destination medium" is no folder
    dlg->EdDestination->setText(Q(medium));
    EXPECT_EQ(Kinds(), "-- EC -- OK");
    dlg->EdDestination->setText(Q(medium + "/missing"));
    EXPECT_EQ(Kinds(), "-- EC -- --");
    dlg->ckMulti->click();
    dlg->EdDestination->setText(Q(medium));
    EXPECT_EQ(Kinds(), "-- E- -- --");

    // A new showing starts over, but keeps the destination.
    dlg->EdDestination->setText(Q(medium + "/"));
    dlg->hide();
    dlg->show();
    EXPECT_EQ(Kinds(), "-- -- -- --");
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/");
    EXPECT_EQ(Shown(), "");
}

// OK exports the kinds checked of the set checked, in the form the settings
// say, into the folder chosen (a stick's folder whose name is not UTF-8);
// the medium's checksums list what each export copied.
TEST_F(ExportDialog, OkExportsTheCheckedKindsOfTheCheckedSetIntoTheDestination) {
    BackupConfig.ZipBackups = 1;
    MakeSet("MFB1", {{"characters.zip", "PK chars"},
                     {"net.zip", "PK net"},
                     {"game1.zip", "PK game one"},
                     {"desc.txt", "Moving house\r\n"}});
    const std::string set = backupDir + "MFB1/";
    const std::string stick = testenv::Scratch() + "/USB stick \xE9t\xE9/";
    fs::create_directories(stick);
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        d.FileName = Q(stick + "Destination medium");
        return true;
    });
    ShowAndTickFirstSet();
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    dlg->ckChar->click();
    dlg->ckSingle->click();
    EXPECT_EQ(Kinds(), "E- EC E- OK");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(Files(stick), (Names{".mfbackup-sums", "desc.txt", "net.zip"}));

    ShowAndTickFirstSet();
    dlg->EdDestination->setText(Q(medium + "/"));
    dlg->ckMulti->click();
    dlg->ckSingle->click();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "characters.zip", "desc.txt"}));
    sets::Manifest sums;
    ASSERT_EQ(sets::ReadManifest(medium + "/", sums), sets::ManifestRead::Read);
    ASSERT_EQ(sums.Entries.size(), 1u);
    EXPECT_EQ(sums.Entries[0].Name, "characters.zip");
    ui::SetFileDialogHandler({});
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Restoring");
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
              "Exporting " + set + "characters.zip to " + medium + "/characters.zip");

    // A file the medium holds read-only is said in one box, the text alone.
    testenv::WriteFile(medium + "/game1.zip", "kept on the medium");
    ASSERT_TRUE(platform::SetFileAttributes(medium + "/game1.zip", platform::faReadOnly));
    ShowAndTickFirstSet();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Shown(), "error exporting " + set + "game1.zip to " + medium + "/game1.zip");
    EXPECT_EQ(testenv::ReadFile(medium + "/game1.zip"), "kept on the medium");
}

} // namespace
