// The folder field Export and Import share: leaving it completes an existing
// folder's text, Browse takes the folder of the name confirmed, and Enter in
// it runs OK on the folder completed, inside it and not beside it.

#include "dialog_tree.h"

#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/widgets/file_dialog.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace fs = std::filesystem;

namespace {

// true: Import's field, false: Export's.
class FolderField : public DialogTree, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        DialogTree::SetUp();
        medium = testenv::Scratch() + "/MEDIUM";
        fs::create_directories(medium);
        if (GetParam()) {
            testenv::WriteFile(medium + "/net.sav", "net game");
            fmImport = new TfmImport;
            dialog = fmImport, edit = fmImport->EdImport, browse = fmImport->BtBrowse;
            ok = fmImport->Button1;
        } else {
            MakeSet("MFB1", {{"net.sav", "net game"}, {"desc.txt", "d\r\n"}});
            fmExport = new TfmExport;
            dialog = fmExport, edit = fmExport->EdDestination, browse = fmExport->BtBrowse;
            ok = fmExport->Button1;
        }
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dialog;
        fmImport = nullptr;
        fmExport = nullptr;
    }
    // Shows the dialog as the menu does, Export's first set ticked.
    void Show() {
        dialog->show();
        if (!GetParam())
            fmExport->ckRestore->item(0)->setCheckState(Qt::Checked);
    }

    std::string medium; // without the trailing '/'
    QDialog* dialog = nullptr;
    QLineEdit* edit = nullptr;
    QPushButton* browse = nullptr;
    QPushButton* ok = nullptr;
};

TEST_P(FolderField, LeavingCompletesAnExistingFolderAndBrowseTakesTheFolderConfirmed) {
    Show();
    for (const std::string& text : {medium, medium + "/missing"}) {
        edit->setText(Q(text));
        Focus(edit);
        Focus(browse);
        EXPECT_EQ(edit->text().toStdString(), text == medium ? medium + "/" : text);
    }

    // The file dialog starts where the field points; cancelling keeps the text.
    QString offered, start;
    bool mustExist = !GetParam();
    bool confirm = true;
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        offered = d.FileName;
        start = d.StartFolder;
        mustExist = d.PathMustExist;
        d.FileName = Q(medium + "/any name");
        return confirm;
    });
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(offered, GetParam() ? "Import medium" : "Destination medium");
    EXPECT_EQ(start.toStdString(), medium + "/missing");
    EXPECT_EQ(mustExist, GetParam());
    EXPECT_EQ(edit->text().toStdString(), medium + "/");
    confirm = false;
    edit->setText("elsewhere");
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(edit->text(), "elsewhere");
    ui::SetFileDialogHandler({});
    EXPECT_EQ(Shown(), "");
}

TEST_P(FolderField, EnterInItRunsOkInsideTheFolder) {
    // The offscreen platform activates every window it shows, so the progress
    // window would take the focus from the field, as no desktop does.
    delete fmInfo;
    fmInfo = nullptr;
    Show();
    Focus(edit);
    edit->clear();
    QTest::keyClicks(edit, Q(medium));
    ASSERT_TRUE(ok->isEnabled());
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(edit->text().toStdString(), medium + "/");
    EXPECT_EQ(Shown(), "");
    if (GetParam())
        EXPECT_EQ(Sets().size(), 1u);
    else
        EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "desc.txt", "net.sav"}));
    EXPECT_EQ(Files(testenv::Scratch()), Names{"MEDIUM"}); // nothing beside the folder
}

INSTANTIATE_TEST_SUITE_P(Dialogs, FolderField, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Import" : "Export");
});

} // namespace
