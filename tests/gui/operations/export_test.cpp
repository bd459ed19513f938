#include "dialog_tree.h"

#include "gui/operations/export_dialog.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class ExportTest : public DialogTree {
protected:
    void SetUp() override {
        DialogTree::SetUp();
        BackupConfig.OwnerOnRestore = 1; // never read by the export dialog
        medium = testenv::Scratch() + "/MOVE";
        fs::create_directories(medium);
        fmExport = dlg = new TfmExport;
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dlg;
        fmExport = nullptr;
    }
    void MakeSet(const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& files) {
        fs::create_directories(backupDir + name);
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(backupDir + name + "/" + file, bytes);
    }
    // Shows the dialog as the menu does and ticks the first set.
    void ShowAndTickFirstSet() {
        dlg->show();
        ASSERT_GT(dlg->ckRestore->count(), 0);
        dlg->ckRestore->item(0)->setCheckState(Qt::Checked);
    }
    std::string Kinds() const { // enabled/checked of the three boxes, then OK
        std::string s;
        for (QCheckBox* box : {dlg->ckChar, dlg->ckMulti, dlg->ckSingle})
            s += std::string(box->isEnabled() ? "E" : "-") + (box->isChecked() ? "C " : "- ");
        return s + (dlg->Button1->isEnabled() ? "OK" : "--");
    }
    void Focus(QWidget* w) {
        QApplication::setActiveWindow(dlg);
        w->setFocus();
        QApplication::processEvents();
    }
    static QString Q(const std::string& s) { return QString::fromStdString(s); }

    std::string medium; // without the trailing '/'
    TfmExport* dlg = nullptr;
    ui::MessageCapture messages;
};

TEST_F(ExportTest, DestinationFieldIsShownAndOkNeedsAnExistingFolder) {
    EXPECT_EQ(dlg->objectName(), "fmExport");
    EXPECT_EQ(dlg->windowTitle(), "Export backup");
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

    // Leaving the field completes an existing folder only.
    Focus(dlg->EdDestination);
    Focus(dlg->ckRestore);
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/");
    dlg->EdDestination->setText(Q(medium + "/missing"));
    Focus(dlg->EdDestination);
    Focus(dlg->ckRestore);
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/missing");

    // Browse keeps the folder of the confirmed name; cancelling keeps the text.
    QString offered, start;
    bool mustExist = true;
    bool confirm = true;
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        offered = d.FileName;
        start = d.StartFolder;
        mustExist = d.PathMustExist;
        d.FileName = Q(medium + "/Destination medium");
        return confirm;
    });
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    EXPECT_EQ(offered, "Destination medium");
    EXPECT_EQ(start.toStdString(), medium + "/missing") << "starts where the field points";
    EXPECT_FALSE(mustExist);
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/");
    confirm = false;
    dlg->EdDestination->setText("elsewhere");
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    EXPECT_EQ(dlg->EdDestination->text(), "elsewhere");
    ui::SetFileDialogHandler({});

    // A new showing starts over, but keeps the destination.
    dlg->EdDestination->setText(Q(medium + "/"));
    dlg->hide();
    dlg->show();
    EXPECT_EQ(Kinds(), "-- -- -- --");
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/");
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
}

TEST_F(ExportTest, PlainExportCopiesTheSetWithArchiveAttributeAndRefusedFilesStay) {
    MakeSet("MFB1", {{"characters.lpl", "characters"},
                     {"net.sav", "net game"},
                     {"game1.sav", "first"},
                     {"game2.sav", "second"},
                     {"game3.zip", "not in a plain export"},
                     {"desc.txt", "Moving house\r\n"}});
    const std::string set = backupDir + "MFB1/";
    ASSERT_TRUE(platform::SetFileAttributes(set + "game1.sav", platform::faReadOnly));
    ASSERT_TRUE(platform::SetFileAttributes(set + "desc.txt", platform::faReadOnly));
    ShowAndTickFirstSet();
    dlg->EdDestination->setText(Q(medium + "/"));
    EXPECT_EQ(Kinds(), "EC EC EC OK");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);

    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Restoring");
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
              "Exporting " + set + "game2.sav to " + medium + "/game2.sav");
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav",
                                    "game2.sav", "net.sav"}));
    for (const char* name : {"characters.lpl", "net.sav", "game1.sav", "game2.sav"}) {
        EXPECT_EQ(testenv::ReadFile(medium + "/" + name), testenv::ReadFile(set + name)) << name;
        EXPECT_EQ(platform::GetFileAttributes(medium + "/" + name), platform::faArchive) << name;
    }
    EXPECT_EQ(testenv::ReadFile(medium + "/desc.txt"), "Moving house\r\n");
    EXPECT_TRUE(platform::GetFileAttributes(medium + "/desc.txt") & platform::faReadOnly);
    // Nothing went into the game or the set.
    EXPECT_TRUE(Files(gameDir + "save/games").empty());
    EXPECT_EQ(platform::GetFileAttributes(set + "game1.sav") & platform::faReadOnly,
              platform::faReadOnly);

    // Again into the same folder, where two files are now read-only: those two
    // fail and stay, the rest is overwritten.
    testenv::WriteFile(set + "net.sav", "net game, later");
    testenv::WriteFile(medium + "/characters.lpl", "kept on the medium");
    ASSERT_TRUE(platform::SetFileAttributes(medium + "/characters.lpl", platform::faReadOnly));
    ShowAndTickFirstSet();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(messages.texts(),
              (QStringList{
                  Q("error exporting " + set + "characters.lpl to " + medium + "/characters.lpl"),
                  Q("error copying " + set + "desc.txt to " + medium + "/desc.txt")}));
    EXPECT_EQ(testenv::ReadFile(medium + "/characters.lpl"), "kept on the medium");
    EXPECT_EQ(platform::GetFileAttributes(medium + "/characters.lpl"), platform::faReadOnly);
    EXPECT_EQ(testenv::ReadFile(medium + "/net.sav"), "net game, later");
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(fmInfo->isVisible());
}

TEST_F(ExportTest, CompressedExportCopiesTheArchivesOfTheCheckedKindsOnly) {
    BackupConfig.ZipBackups = 1;
    MakeSet("MFB1", {{"characters.zip", std::string("PK\x03\x04 chars", 11)},
                     {"net.zip", std::string("PK\x03\x04\0net", 8)},
                     {"game1.zip", "PK game one"},
                     {"game2.sav", "a plain file in a compressed set"}});
    const std::string set = backupDir + "MFB1/";
    ShowAndTickFirstSet();
    dlg->EdDestination->setText(Q(medium + "/"));
    dlg->ckChar->click();
    dlg->ckSingle->click();
    EXPECT_EQ(Kinds(), "E- EC E- OK");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "net.zip"})); // no desc.txt, no message
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();

    ShowAndTickFirstSet();
    EXPECT_EQ(Kinds(), "EC EC EC OK");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "characters.zip", "game1.zip", "net.zip"}));
    for (const char* name : {"characters.zip", "net.zip", "game1.zip"})
        EXPECT_EQ(testenv::ReadFile(medium + "/" + name), testenv::ReadFile(set + name)) << name;
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
              "Exporting " + set + "game1.zip to " + medium + "/game1.zip");
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
}

TEST_F(ExportTest, EnterInTheDestinationFieldExportsIntoTheFolder) {
    MakeSet("MFB1", {{"net.sav", "net game"}, {"desc.txt", "d\r\n"}});
    // The offscreen platform activates every window it shows, so the progress
    // window would take the focus from the field, as no desktop does.
    delete fmInfo;
    fmInfo = nullptr;
    ShowAndTickFirstSet();
    Focus(dlg->EdDestination);
    dlg->EdDestination->clear();
    QTest::keyClicks(dlg->EdDestination, Q(medium));
    ASSERT_TRUE(dlg->Button1->isEnabled());
    QTest::keyClick(dlg->EdDestination, Qt::Key_Return);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(dlg->EdDestination->text().toStdString(), medium + "/");
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "desc.txt", "net.sav"}));
    EXPECT_EQ(Files(testenv::Scratch()), Names{"MOVE"}); // nothing beside the folder
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
}

} // namespace
