// The Import dialog: the kinds the medium holds, and OK importing the
// checked ones (the import itself is tested in tests/core).

#include "dialog_tree.h"

#include "common/manifests.h"
#include "gui/operations/import_dialog.h"
#include "gui/widgets/file_dialog.h"
#include "sets/backup_set.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace fs = std::filesystem;

namespace {

class ImportDialog : public DialogTest<TfmImport> {
protected:
    ImportDialog() : DialogTest(&fmImport) {}
    void Medium(const FileList& files) {
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(medium + "/" + file, bytes);
    }
    // Types the folder text anew, as the user would, so that the medium is looked at.
    void Type(const std::string& text) {
        dlg->EdImport->clear();
        QTest::keyClicks(dlg->EdImport, Q(text));
    }
};

TEST_F(ImportDialog, OffersTheKindsTheMediumHoldsUnderTheCurrentMode) {
    EXPECT_EQ(dlg->EdImport->text(), "import medium");
    EXPECT_EQ(Kinds(), "-- -- -- --");

    Medium({{"characters.lpl", "c"}, {"net.sav", "n"}, {"game.txt", "not a game*.sav"}});
    Type(medium);
    EXPECT_EQ(Kinds(), "EC EC -- OK");
    Type(medium + "/"); // the doubled separator is taken as one
    EXPECT_EQ(Kinds(), "EC EC -- OK");
    dlg->ckChar->click();
    dlg->ckMulti->click();
    EXPECT_EQ(Kinds(), "E- E- -- --");
    dlg->ckMulti->click(); // no new look at the medium
    EXPECT_EQ(Kinds(), "E- EC -- OK");

    // Showing again tests nothing: the boxes keep the last result.
    BackupConfig.ZipBackups = 1;
    dlg->show();
    dlg->hide();
    dlg->show();
    EXPECT_EQ(Kinds(), "E- EC -- OK");
    Type(medium + "/");
    EXPECT_EQ(Kinds(), "-- -- -- --"); // a plain medium read in the compressed mode
    Medium({{"game4.zip", "z"}, {"net.zip", "z"}});
    Type(medium);
    EXPECT_EQ(Kinds(), "-- EC EC OK");
    Type(medium + "/missing");
    EXPECT_EQ(Kinds(), "-- -- -- --");
    EXPECT_EQ(Shown(), "");
}

// OK files the kinds checked as a new set, from the folder chosen (a stick's
// folder whose name is not UTF-8); what the medium's checksums do not list
// is said in one box. Cancel imports nothing.
TEST_F(ImportDialog, OkImportsTheCheckedKindsIntoANewSetAndCancelNothing) {
    medium = testenv::Scratch() + "/USB stick \xE9t\xE9";
    Medium({{"characters.lpl", "characters"},
            {"net.sav", "net"},
            {"game1.sav", "one"},
            {"desc.txt", "Moved from the laptop\r\n"}});
    ASSERT_TRUE(testenv::WriteManifestOf(medium + "/", {"characters.lpl", "game1.sav"}));
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        d.FileName = Q(medium + "/Import medium");
        return true;
    });
    dlg->show();
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    ui::SetFileDialogHandler({});
    QTest::mouseClick(dlg->Button2, Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(Sets().empty());

    dlg->show();
    EXPECT_EQ(Kinds(), "EC EC EC OK");
    dlg->ckSingle->click();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(Shown(), "not part of this export: net.sav");
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt"}));
    EXPECT_EQ(sets::ReadDescriptionFile(set), "Imported: Moved from the laptop");
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Importing file");
    EXPECT_EQ(fmInfo->txBackup->text(),
              Q("copying " + medium + "/characters.lpl to " + set + "characters.lpl"));
}

} // namespace
