#include "common/manifests.h"
#include "dialog_tree.h"

#include "core/import.h"
#include "gui/operations/import_dialog.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class ImportTest : public DialogTree {
protected:
    void SetUp() override {
        DialogTree::SetUp();
        medium = testenv::Scratch() + "/EXP";
        fs::create_directories(medium);
        fmImport = dlg = new TfmImport;
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dlg;
        fmImport = nullptr;
    }
    void Medium(const std::vector<std::pair<std::string, std::string>>& files) {
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(medium + "/" + file, bytes);
    }
    // Types the folder text anew, as the user would, so that the medium is looked at.
    void Type(const std::string& text) {
        dlg->EdImport->clear();
        QTest::keyClicks(dlg->EdImport, Q(text));
    }
    // Shows the dialog as the menu does and presses OK.
    void Import() {
        dlg->show();
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
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
    std::string Description(const std::string& setName) const {
        std::string text;
        sets::ReadSetDescription(backupDir, setName, text);
        return text;
    }
    static QString Q(const std::string& s) { return QString::fromStdString(s); }

    std::string medium; // without the trailing '/'
    TfmImport* dlg = nullptr;
    ui::MessageCapture messages;
};

TEST_F(ImportTest, OffersTheKindsTheMediumHoldsUnderTheCurrentMode) {
    EXPECT_EQ(dlg->objectName(), "fmImport");
    EXPECT_EQ(dlg->windowTitle(), "Import backup");
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
    Type(medium);

    // Leaving the field completes an existing folder only.
    Focus(dlg->EdImport);
    Focus(dlg->BtBrowse);
    EXPECT_EQ(dlg->EdImport->text().toStdString(), medium + "/");
    Type(medium + "/missing");
    Focus(dlg->BtBrowse);
    EXPECT_EQ(dlg->EdImport->text().toStdString(), medium + "/missing");

    // Browse takes the folder of the confirmed name; cancelling changes nothing.
    QString offered, start;
    bool mustExist = false;
    bool confirm = true;
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        offered = d.FileName;
        start = d.StartFolder;
        mustExist = d.PathMustExist;
        d.FileName = Q(medium + "/Import medium");
        return confirm;
    });
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    EXPECT_EQ(offered, "Import medium");
    EXPECT_EQ(start.toStdString(), medium + "/missing") << "starts where the field points";
    EXPECT_TRUE(mustExist);
    EXPECT_EQ(dlg->EdImport->text().toStdString(), medium + "/");
    EXPECT_EQ(Kinds(), "-- EC EC OK");
    confirm = false;
    Type("elsewhere");
    QTest::mouseClick(dlg->BtBrowse, Qt::LeftButton);
    EXPECT_EQ(dlg->EdImport->text(), "elsewhere");
    EXPECT_EQ(Kinds(), "-- -- -- --");
    ui::SetFileDialogHandler({});
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
}

TEST_F(ImportTest, EachImportMakesOneSetDescribedByTheMedium) {
    Medium({{"characters.lpl", "characters"},
            {"net.sav", std::string("net\0game", 8)},
            {"game1.sav", "not checked"},
            {"desc.txt", "Moved from the laptop\r\nsecond line\r\n"}});
    Type(medium + "/");
    dlg->ckSingle->click();
    EXPECT_EQ(Kinds(), "EC EC E- OK");
    Import();
    const Names first = Sets();
    Import(); // the same medium again: a second set, alike
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Importing file");

    const Names sets = Sets();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(sets.size(), 2u);
    for (const std::string& name : sets) {
        const std::string set = backupDir + name + "/";
        EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "net.sav"}));
        EXPECT_EQ(testenv::ReadFile(set + "characters.lpl"), "characters");
        EXPECT_EQ(testenv::ReadFile(set + "net.sav"), std::string("net\0game", 8));
        EXPECT_EQ(Description(name), "Imported: Moved from the laptop");
    }
    const std::string second = NewSet(first);
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
              "copying " + medium + "/net.sav to " + backupDir + second + "/net.sav");

    // The first line is read up to 255 characters, the whole description cut
    // to 255; an empty or missing desc.txt leaves "Imported: " alone.
    const std::string longLine(300, 'x');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {longLine + "\r\n", "Imported: " + longLine.substr(0, 245)},
        {"", "Imported: "},
        {"(none)", "Imported: "}};
    for (const auto& [content, expected] : cases) {
        if (content == "(none)")
            fs::remove(medium + "/desc.txt");
        else
            Medium({{"desc.txt", content}});
        const Names before = Sets();
        Import();
        EXPECT_EQ(Description(NewSet(before)), expected) << content;
    }
}

TEST_F(ImportTest, GameSearchTakesEveryGameFileAndNoFolder) {
    Medium({{"characters.lpl", "c"},
            {"game1.sav", "one"},
            {"game2.sav", "two"},
            {"game.txt", "notes"},
            // Windows-1252 names, copied over as they were: two names, not one.
            {"game\xE8.sav", "e grave"},
            {"game\xE9.sav", "e acute"}});
    fs::create_directories(medium + "/game9.sav"); // a folder
    Type(medium + "/");
    dlg->ckChar->click();
    EXPECT_EQ(Kinds(), "E- -- EC OK");
    Import();
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    const Names sets = Sets();
    ASSERT_EQ(sets.size(), 1u);
    const std::string plainSet = backupDir + sets[0] + "/";
    EXPECT_EQ(Files(plainSet), (Names{".mfbackup-sums", "desc.txt", "game.txt", "game1.sav",
                                      "game2.sav", "game\xE8.sav", "game\xE9.sav"}));
    EXPECT_EQ(testenv::ReadFile(plainSet + "game.txt"), "notes");
    EXPECT_EQ(testenv::ReadFile(plainSet + "game\xE9.sav"), "e acute");
    fs::remove(medium + "/game\xE8.sav");
    fs::remove(medium + "/game\xE9.sav");

    // Compressed: every entry is fetched as its archive; only game1.zip exists.
    BackupConfig.ZipBackups = 1;
    Medium({{"game1.zip", "PK one"}});
    Type(medium + "/");
    EXPECT_EQ(Kinds(), "-- -- EC OK");
    Import();
    const std::string zipSet = backupDir + NewSet(sets) + "/";
    EXPECT_EQ(Files(zipSet), (Names{".mfbackup-sums", "desc.txt", "game1.zip"}));
    EXPECT_EQ(testenv::ReadFile(zipSet + "game1.zip"), "PK one");
    const std::string m = medium + "/";
    EXPECT_EQ(messages.texts(),
              (QStringList{Q("Error copying " + m + "game.zip to " + zipSet + "game.zip"),
                           Q("Error copying " + m + "game2.zip to " + zipSet + "game2.zip")}));
    EXPECT_FALSE(fmInfo->isVisible());

    // An import that files nothing leaves no set for Restore to list.
    fs::remove(medium + "/game1.zip");
    ASSERT_EQ(mkfifo((medium + "/game1.zip").c_str(), 0644), 0); // no file to copy
    Type(medium + "/");
    messages.clear();
    const Names before = Sets();
    Import();
    EXPECT_EQ(messages.texts().size(), 4) << messages.texts().join("|").toStdString();
    EXPECT_EQ(Sets(), before);
}

// Two names that differ only in letter case would be one file in the set:
// the first is imported, the second is said, as a backup says its twins.
TEST_F(ImportTest, OfTwoNamesDifferingInCaseTheSecondFails) {
    Medium({{"game1.sav", "lower case"}, {"GAME1.SAV", "UPPER CASE"}, {"game2.sav", "two"}});
    Type(medium + "/");
    Import();
    std::vector<std::string> twins = core::MediumFiles(medium + "/", {false, false, true});
    std::erase(twins, medium + "/game2.sav");
    ASSERT_EQ(twins.size(), 2u);
    const std::string& first = twins[0]; // in the order the folder lists them
    const std::string& second = twins[1];
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = backupDir + Sets()[0] + "/";
    const std::string name = fs::path(second).filename().string();
    EXPECT_EQ(messages.texts(), QStringList{Q("Error copying " + second + " to " + set + name)});
    const std::string kept = fs::path(first).filename().string();
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", kept, "desc.txt", "game2.sav"}));
    EXPECT_EQ(testenv::ReadFile(set + kept), testenv::ReadFile(first));
}

// An export into a folder that held an earlier one leaves its files there:
// the medium's checksums tell which are this export's.
TEST_F(ImportTest, AMediumWithChecksumsGivesOnlyTheFilesTheyList) {
    Medium({{"characters.lpl", "c"}, {"net.sav", "n"}, {"game1.sav", "1"}, {"game2.sav", "2"}});
    ASSERT_TRUE(testenv::WriteManifestOf(medium + "/", {"characters.lpl", "game1.sav"}));
    Type(medium + "/");
    EXPECT_EQ(Kinds(), "EC EC EC OK");
    Import();
    EXPECT_EQ(messages.texts(), QStringList{"not part of this export: net.sav, game2.sav"});
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = backupDir + Sets()[0] + "/";
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav"}));
}

TEST_F(ImportTest, NoSetWithoutBackupDirOrOnCancel) {
    Medium({{"net.sav", "n"}});
    Type(medium + "/");
    dlg->show();
    QTest::mouseClick(dlg->Button2, Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(Sets().empty());

    const std::string missing = backupDir + "gone/";
    BackupConfig.BackupDir.Set(missing);
    Import();
    EXPECT_FALSE(testenv::Exists(missing));
    EXPECT_TRUE(Sets().empty());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(fmInfo->isVisible());
    // Nothing of the import's own: no copy was tried.
    for (const QString& text : messages.texts())
        EXPECT_FALSE(text.startsWith("Error copying")) << text.toStdString();
}

TEST_F(ImportTest, EnterInTheFieldImportsFromInsideTheFolder) {
    Medium({{"net.sav", "net game"}});
    dlg->show();
    // The offscreen platform activates every window it shows, so the progress
    // window would take the focus from the field, as no desktop does.
    delete fmInfo;
    fmInfo = nullptr;
    Focus(dlg->EdImport);
    Type(medium);
    ASSERT_TRUE(dlg->Button1->isEnabled());
    QTest::keyClick(dlg->EdImport, Qt::Key_Return);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(dlg->EdImport->text().toStdString(), medium + "/");
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    const Names sets = Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(testenv::ReadFile(backupDir + sets[0] + "/net.sav"), "net game");
}

} // namespace
