#include "dialog_tree.h"

#include "core/restore.h"
#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/operation_helpers.h"
#include "gui/operations/restore_dialog.h"
#include "gui/widgets/message_box.h"
#include "platform/attributes.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "platform/sync.h"
#include "sets/backup_set.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <sys/mount.h>

namespace fs = std::filesystem;
using operations::Q;
using Names = std::vector<std::string>;

namespace {

// Output of a shell command (the reference unzip reads the archives).
std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (std::size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    if (pipe)
        pclose(pipe);
    return out;
}

class BackupTest : public DialogTree {
protected:
    void SetUp() override {
        DialogTree::SetUp();
        fmBackup = dlg = new TfmBackup;
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dlg;
        fmBackup = nullptr;
    }
    // Shows the dialog, as the menu does, and presses OK.
    void BackUp(const QString& description = {}) {
        dlg->show();
        dlg->EdDesc->setText(description);
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    }
    std::string OnlySet() {
        const Names sets = Sets();
        EXPECT_EQ(sets.size(), 1u);
        return sets.empty() ? std::string() : backupDir + sets[0] + "/";
    }

    TfmBackup* dlg = nullptr;
    ui::MessageCapture messages;
};

TEST_F(BackupTest, KindBoxesFollowTestFilesArchiveBitsAndSettings) {
    Save("characters/characters.lpl", "c");
    MarkClean(Save("games/game1.sav", "1"));
    Save("games/game2.sav", "2"); // changed, but only the first match counts
    BackupConfig.Characters = 1;
    dlg->show();
    EXPECT_TRUE(dlg->ckChar->isEnabled() && dlg->ckChar->isChecked());
    EXPECT_FALSE(dlg->ckMulti->isEnabled() || dlg->ckMulti->isChecked()); // no net.sav
    EXPECT_FALSE(dlg->ckSingle->isEnabled() || dlg->ckSingle->isChecked());
    EXPECT_TRUE(dlg->Button1->isEnabled());

    dlg->ckArchive->click(); // "Ignore archivebit"
    EXPECT_TRUE(dlg->ckSingle->isEnabled());
    EXPECT_FALSE(dlg->ckSingle->isChecked());
    EXPECT_FALSE(dlg->ckMulti->isEnabled());
    dlg->ckSingle->click();
    dlg->ckChar->click();
    dlg->ckArchive->click();
    // Disabled again but still checked: OK stays enabled for it.
    EXPECT_FALSE(dlg->ckSingle->isEnabled());
    EXPECT_TRUE(dlg->ckSingle->isChecked());
    EXPECT_TRUE(dlg->Button1->isEnabled());
    dlg->hide();

    BackupConfig.Characters = 0;
    dlg->ckSingle->setChecked(false);
    dlg->show();
    EXPECT_FALSE(dlg->ckChar->isChecked());
    EXPECT_FALSE(dlg->Button1->isEnabled());
}

TEST_F(BackupTest, PlainBackupTakesChangedVisibleFilesAndMarksThemBackedUp) {
    const Names taken = {Save("characters/characters.lpl", "characters"),
                         Save("net/net.sav", "net game"), Save("net/second.dat", "extra"),
                         Save("games/game1.sav", "one"), Save("games/game2.sav", "two")};
    fs::permissions(taken[4], fs::perms::owner_read); // read-only game file
    MarkClean(Save("characters/old.lpl", "old"));
    const std::string hidden = Save("games/.hidden", "h");
    const std::string system = Save("games/sys.sav", "s");
    ASSERT_TRUE(platform::SetFileAttributes(system, platform::faSysFile | platform::faArchive));

    BackUp("Before the boss");
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(fmInfo->windowTitle(), "Backing Up");
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(), taken.back());

    const std::string set = OnlySet();
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav",
                                 "game2.sav", "net.sav", "second.dat"}));
    EXPECT_EQ(testenv::ReadFile(set + "desc.txt"), "Before the boss\r\n");
    for (const std::string& source : taken) {
        EXPECT_EQ(testenv::ReadFile(set + fs::path(source).filename().string()),
                  testenv::ReadFile(source));
        EXPECT_EQ(platform::GetFileAttributes(source), 0u) << source;
    }
    EXPECT_TRUE(Changed(hidden));
    EXPECT_TRUE(Changed(system));

    // Nothing changed since: no new set, with or without "Ignore archivebit".
    for (bool ignore : {false, true}) {
        messages.clear();
        dlg->ckArchive->setChecked(ignore);
        BackUp();
        EXPECT_EQ(messages.texts(), QStringList{"Nothing found to backup!"});
        EXPECT_EQ(Sets().size(), 1u);
    }
}

TEST_F(BackupTest, IgnoreArchivebitEnablesKindsButTakesOnlyChangedFiles) {
    MarkClean(Save("characters/characters.lpl", "c"));
    MarkClean(Save("net/net.sav", "n"));
    const std::string fresh = Save("net/new.dat", "new");
    dlg->show();
    EXPECT_FALSE(dlg->ckChar->isEnabled() || dlg->ckMulti->isEnabled());
    dlg->ckArchive->click();
    EXPECT_TRUE(dlg->ckChar->isEnabled() && dlg->ckMulti->isEnabled());
    dlg->ckChar->click();
    dlg->ckMulti->click();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(Files(OnlySet()), (Names{".mfbackup-sums", "new.dat"}));
    EXPECT_FALSE(Changed(fresh));
}

TEST_F(BackupTest, CompressedBackupHoldsOneArchivePerFileName) {
    BackupConfig.ZipBackups = 1;
    const Names taken = {Save("characters/characters.lpl", "characters"),
                         Save("net/net.sav", "net game"), Save("games/game1.sav", "one"),
                         Save("games/game1.bak", "spare"), Save("games/readme", "no dot")};
    BackUp();
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    const std::string set = OnlySet();
    EXPECT_EQ(Files(set),
              (Names{".mfbackup-sums", "characters.zip", "game1.zip", "net.zip", "readme.zip"}));
    EXPECT_EQ(Shell("unzip -Z1 '" + set + "game1.zip' | sort"), "game1.bak\ngame1.sav\n");
    EXPECT_EQ(Shell("unzip -p '" + set + "characters.zip' characters.lpl"), "characters");
    EXPECT_EQ(Shell("unzip -p '" + set + "readme.zip' readme"), "no dot");
    for (const std::string& source : taken)
        EXPECT_FALSE(Changed(source)) << source;
}

TEST_F(BackupTest, FailedCopyKeepsTheSourceMarkedAndNothingIsClearedBeforeTheEnd) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string firstDup = Save("characters/dup.dat", "first");
    fs::permissions(firstDup, fs::perms::owner_read); // its copy in the set is read-only too
    const std::string secondDup = Save("net/dup.dat", "second");
    const std::string net = Save("net/net.sav", "net");
    bool clearedEarly = true;
    ui::MessageCapture hook([&](const ui::Message&) {
        // The game writes the character list while the backup still runs.
        clearedEarly = !Changed(chars) || !Changed(firstDup);
        testenv::WriteFile(chars, "characters, played on");
    });
    BackUp();
    const std::string set = OnlySet();
    EXPECT_EQ(hook.texts(), QStringList{QString::fromStdString("error copying " + secondDup +
                                                               " to " + set + "dup.dat")});
    EXPECT_FALSE(clearedEarly);
    EXPECT_TRUE(Changed(secondDup));
    EXPECT_EQ(testenv::ReadFile(set + "dup.dat"), "first");
    EXPECT_FALSE(Changed(firstDup));
    EXPECT_FALSE(Changed(net));
    // Rewritten after its copy: the set holds the older content, so it stays marked.
    EXPECT_EQ(testenv::ReadFile(set + "characters.lpl"), "characters");
    EXPECT_TRUE(Changed(chars));
}

// The sources are marked backed up only once the set is on disk: a set that
// can't be flushed leaves every one changed, for the next backup to take.
TEST_F(BackupTest, ASetThatCantBeFlushedMarksNoSource) {
    const Names sources = {Save("characters/characters.lpl", "characters"),
                           Save("net/net.sav", "net"), Save("games/game1.sav", "one")};
    platform::FailFlushesForTesting(true);
    BackUp();
    platform::FailFlushesForTesting(false);
    EXPECT_EQ(messages.texts(),
              QStringList{Q("error writing " + OnlySet() +
                            " to disk: " + platform::SysErrorMessage(platform::ERROR_IO_DEVICE))});
    for (const std::string& source : sources)
        EXPECT_TRUE(Changed(source)) << source;
}

// A mark that can't be stored leaves its file changed, and the backup says
// so once: here the stamp store of a drive without extended attributes
// can't be written (a drive that takes no change: see the CLI's test).
TEST_F(BackupTest, MarksThatCantBeStoredAreSaidOnceAndTheirFilesStayChanged) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string game = Save("games/game1.sav", "one");
    const std::string stateFolder = platform::ExtractFilePath(platform::StampStorePath());
    testenv::WriteFile(stateFolder.substr(0, stateFolder.size() - 1), "a file, not a folder");
    platform::RefuseXattrsForTesting(true);
    BackUp();
    EXPECT_TRUE(Changed(chars) && Changed(game));
    platform::RefuseXattrsForTesting(false);
    EXPECT_EQ(messages.texts(), QStringList{"could not mark 2 files as backed up: The system "
                                            "cannot find the path specified"});
}

TEST_F(BackupTest, FailedArchiverRunKeepsTheSourceMarked) {
    BackupConfig.ZipBackups = 1;
    const std::string good = Save("games/game1.sav", "one");
    // The archive's name would be one byte longer than a file name may be.
    const std::string base = "game" + std::string(248, 'x');
    const std::string bad = Save("games/" + base + ".sv", "too long");
    BackUp();
    const std::string set = OnlySet();
    ASSERT_FALSE(messages.texts().isEmpty());
    EXPECT_EQ(messages.texts().back().toStdString(), "error zipping " + bad + " to " + set + base);
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "game1.zip"}));
    EXPECT_FALSE(Changed(good));
    EXPECT_TRUE(Changed(bad));
}

TEST_F(BackupTest, ABackupThatWroteNoFileLeavesNoSetAndRemovesStaleEmptyOnes) {
    BackupConfig.ZipBackups = 1;
    // The archive's name would be one byte longer than a file name may be.
    const std::string bad = Save("games/game" + std::string(248, 'x') + ".sv", "too long");
    MarkClean(Save("games/game1.sav", "backed up before"));
    dlg->ckArchive->setChecked(true); // offers the games for the one changed file
    // Left empty a while ago by a run killed before its first file.
    testenv::WriteFile(backupDir + "MFB1/desc.txt", "killed\r\n");
    testenv::WriteFile(backupDir + "MFB1/" + sets::UnfinishedName, "");
    const timespec longAgo[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (backupDir + "MFB1").c_str(), longAgo, 0), 0);
    BackUp("nothing will come of it");
    ASSERT_FALSE(messages.texts().isEmpty());
    EXPECT_TRUE(messages.texts().back().startsWith(Q("error zipping " + bad + " to ")));
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(Changed(bad));
}

// A second source that would land where this backup already wrote (a name
// in other letter case, or a file of the same name in another folder) fails
// and stays changed; the first keeps its copy, in a plain set or an archive.
class BackupCollisions : public BackupTest, public testing::WithParamInterface<bool> {
protected:
    // The set's content by file (or archive entry) name in lower case.
    std::map<std::string, std::string> Held(const std::string& set) {
        std::map<std::string, std::string> held;
        for (const std::string& name : Files(set)) {
            if (name == sets::ManifestName)
                continue;
            if (!GetParam()) {
                held[Lower(name)] = testenv::ReadFile(set + name);
                continue;
            }
            std::istringstream entries(Shell("unzip -Z1 '" + set + name + "'"));
            for (std::string entry; std::getline(entries, entry);)
                held[Lower(entry)] = Shell("unzip -p '" + set + name + "' '" + entry + "'");
        }
        return held;
    }
    static std::string Lower(std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }
};

TEST_P(BackupCollisions, ASecondSourceOfANameAlreadyWrittenFailsAndStaysChanged) {
    const bool zip = GetParam();
    BackupConfig.ZipBackups = zip;
    const std::pair<std::string, std::string> twins[] = {
        {Save("games/game1.sav", "lower case"), Save("games/GAME1.SAV", "UPPER CASE")},
        {Save("characters/dup.dat", "first folder"), Save("net/dup.dat", "second folder")}};
    // Another letter case: the archiver puts it into the same archive.
    const std::string spare = Save("games/Game1.bak", "another entry of game1.zip");
    Save("characters/characters.lpl", "offers the characters");
    Save("net/net.sav", "offers the multiplayer game");
    BackUp();
    const std::string set = OnlySet();
    std::map<std::string, std::string> held = Held(set);
    sets::Manifest sums;
    std::string why;
    ASSERT_EQ(sets::ReadManifest(set, sums, &why), sets::ManifestRead::Read) << why;
    Names listed;
    for (const sets::ManifestEntry& entry : sums.Entries)
        listed.push_back(entry.Name);
    Names files = Files(set);
    std::erase(files, std::string(sets::ManifestName));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, files) << "one line for each file of the set, as it is named";
    QStringList refused;
    for (const auto& [a, b] : twins) {
        ASSERT_NE(Changed(a), Changed(b)) << a;
        const std::string& kept = Changed(a) ? b : a;
        const std::string& failed = Changed(a) ? a : b;
        const std::string name = fs::path(failed).filename().string();
        EXPECT_EQ(held[Lower(name)], testenv::ReadFile(kept));
        refused << Q(zip ? "error zipping " + failed + " to " + set + name.substr(0, name.find('.'))
                         : "error copying " + failed + " to " + set + name);
    }
    QStringList texts = messages.texts();
    texts.sort();
    refused.sort();
    EXPECT_EQ(texts, refused);
    EXPECT_FALSE(Changed(spare)); // game1.bak is an entry of its own in game1.zip
    EXPECT_EQ(held["game1.bak"], "another entry of game1.zip");
}

INSTANTIATE_TEST_SUITE_P(Forms, BackupCollisions, testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

// On a drive whose file times keep whole seconds (ext2 with small inodes;
// FAT keeps two), a save written again, at its size, in the second the
// backup read it keeps its time: it must not pass for backed up.
TEST_F(BackupTest, ASaveWrittenAgainInTheSecondItWasReadIsNotMarkedBackedUp) {
    const std::string image = testenv::Scratch() + "/seconds.img";
    const std::string save = gameDir + "save";
    if (::geteuid() != 0 ||
        std::system(("truncate -s 8M '" + image + "' && mkfs.ext2 -q -F -I 128 '" + image +
                     "' && mount -o loop '" + image + "' '" + save + "' 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "No whole-second drive: mounting an ext2 image on " << save
                     << " needs root and a loop device";
    const struct Unmount {
        std::string dir;
        ~Unmount() { std::system(("umount -d '" + dir + "'").c_str()); }
    } unmount{save};
    const std::string chars = Save("characters/characters.lpl", "first");
    std::atomic<bool> done = false;
    std::thread game([&] {
        // The game saves again as soon as the copy is in the set.
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(100)))
            for (const std::string& set : Sets())
                if (fs::exists(backupDir + set + "/characters.lpl")) {
                    std::ofstream(chars, std::ios::binary | std::ios::trunc) << "again";
                    return;
                }
    });
    BackUp();
    done = true;
    game.join();
    const std::string set = OnlySet();
    EXPECT_TRUE(Changed(chars) || testenv::ReadFile(set + "characters.lpl") == "again");
}

TEST_F(BackupTest, BackupAndRestoreSayWhenTheGameFolderHoldsNoSaveFolder) {
    TfmRestore restore;
    TfmExport exporter;
    EXPECT_EQ(exporter.LbNoSave, nullptr) << "Export writes nothing into the game";
    const std::string line = "No Moonforge save folder in " + gameDir +
                             ". Choose the game's folder in Settings (Find looks for it).";
    const struct {
        QDialog* dialog;
        QLabel* label;
        QWidget* lowest; // of the other controls
    } dialogs[] = {{dlg, dlg->LbNoSave, dlg->Button1},
                   {&restore, restore.LbNoSave, restore.ckRestore}};
    for (const auto& d : dialogs) {
        d.dialog->show(); // fitted to the font in use, without the line
        const QSize designed = d.dialog->size();
        d.dialog->hide();
        fs::rename(gameDir + "save", gameDir + "elsewhere");
        d.dialog->show();
        EXPECT_TRUE(d.label->isVisible());
        EXPECT_EQ(d.label->text().toStdString(), line);
        EXPECT_GT(d.label->y(), d.lowest->geometry().bottom());
        EXPECT_LE(d.label->geometry().bottom(), d.dialog->height());
        EXPECT_EQ(d.dialog->width(), designed.width());
        d.dialog->hide();

        fs::rename(gameDir + "elsewhere", gameDir + "save");
        d.dialog->show();
        EXPECT_FALSE(d.label->isVisible());
        EXPECT_EQ(d.dialog->size(), designed);
        d.dialog->hide();
    }
}

// Drives without user extended attributes keep the clean stamps in the
// stamp store: on a real ramfs mount, and through the seam that refuses them.
enum class NoXattrs { Ramfs, Seam };
const char* Name(NoXattrs n) {
    return n == NoXattrs::Ramfs ? "Ramfs" : "Seam";
}
void PrintTo(NoXattrs n, std::ostream* os) {
    *os << Name(n);
}

class BackupWithoutXattrs : public BackupTest, public testing::WithParamInterface<NoXattrs> {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        if (GetParam() == NoXattrs::Seam) {
            platform::RefuseXattrsForTesting(true);
            return;
        }
        const std::string save = gameDir + "save";
        if (::mount("ramfs", save.c_str(), "ramfs", 0, "mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a ramfs on " << save << " (" << std::strerror(errno)
                         << "): run the tests as root to cover a real drive without user "
                            "extended attributes";
        mounted = save;
        for (const char* sub : {"characters", "net", "games"})
            fs::create_directories(save + "/" + sub);
    }
    void TearDown() override {
        platform::RefuseXattrsForTesting(false);
        if (!mounted.empty())
            ::umount2(mounted.c_str(), MNT_DETACH);
        BackupTest::TearDown();
    }
    std::string mounted;
};

TEST_P(BackupWithoutXattrs, SecondBackupFindsNothingAndARewrittenFileIsFoundAgain) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string game = Save("games/game1.sav", "one");
    BackUp();
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    ASSERT_EQ(Sets().size(), 1u);
    EXPECT_FALSE(Changed(chars));
    EXPECT_FALSE(Changed(game));
    EXPECT_TRUE(testenv::Exists(testenv::Home() + "/.local/state/mfbackup/clean-stamps"));

    BackUp();
    EXPECT_EQ(messages.texts(), QStringList{"Nothing found to backup!"});
    EXPECT_EQ(Sets().size(), 1u);

    testenv::WriteFile(game, "two"); // the same size, at once
    messages.clear();
    BackUp();
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    const Names sets = Sets();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(Files(backupDir + sets[1]), (Names{".mfbackup-sums", "game1.sav"}));
    EXPECT_EQ(testenv::ReadFile(backupDir + sets[1] + "/game1.sav"), "two");
    EXPECT_FALSE(Changed(game));

    // What a restore puts back reads as backed up there too.
    core::RestoreChoices restore;
    restore.Plan = {backupDir, gameDir, sets[0], {true, false, true}, false, false};
    class : public core::Reporter {
    public:
        void Message(const std::string& text) override { said.push_back(text); }
        Names said;
    } reporter;
    EXPECT_TRUE(core::Restore(restore, reporter).Ok());
    EXPECT_TRUE(reporter.said.empty()) << reporter.said.front();
    EXPECT_EQ(testenv::ReadFile(game), "one");
    EXPECT_FALSE(Changed(chars));
    EXPECT_FALSE(Changed(game));
}

INSTANTIATE_TEST_SUITE_P(Drives, BackupWithoutXattrs,
                         testing::Values(NoXattrs::Ramfs, NoXattrs::Seam),
                         [](const auto& info) { return Name(info.param); });

} // namespace
