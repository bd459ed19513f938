// Transport > Remote: push and pull through the window with a local folder
// as the remote, the one message each ends with, and the window and the
// progress window alive while rclone runs on its own thread.

#include "gui/shell/application.h"
#include "gui/shell/remote_window.h"

#include "common/manifests.h"
#include "common/served_remote.h"
#include "common/test_env.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "platform/folder_lock.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

namespace fs = std::filesystem;

class RemoteWindow : public testing::Test {
protected:
    void SetUp() override {
        InitialiseSettings();
        QCoreApplication::setApplicationName(shell::ApplicationTitle);
        path_ = std::getenv("PATH");
        served = std::make_unique<testenv::ServedRemote>(testenv::RemoteKind::LocalFolder,
                                                         testenv::Scratch() + "/served");
        BeMachine("BRAVO");
        BeMachine("ALPHA");
        testenv::WriteFile(BackupConfig.BackupDir.Get() + "MFB1/game1.sav", "alpha's game");
        testenv::WriteFile(BackupConfig.BackupDir.Get() + "MFB1/desc.txt",
                           "Before the dragon\a\r\n");
        ASSERT_TRUE(
            testenv::WriteManifestOf(BackupConfig.BackupDir.Get() + "MFB1/", {"game1.sav"}));
        shell::CreateWindows();
    }
    void TearDown() override {
        shell::DestroyWindows();
        setenv("PATH", path_.c_str(), 1);
        remote::WriteRemoteSetting(SettingsFilePath(), ""); // tests may share a process
        remote::WriteMaxFileSizeSetting(SettingsFilePath(), 0);
    }

    // This program as it runs on the machine `name`, with a backup folder of its own.
    static void BeMachine(const std::string& name) {
        ComputerName = name;
        BackupConfig.BackupDir.Set(testenv::Scratch() + "/" + name + "/");
        fs::remove_all(BackupConfig.BackupDir.Get()); // tests may share a process
        fs::create_directories(BackupConfig.BackupDir.Get());
    }
    // Shows the window, as the menu opens it, for the remote typed in.
    void Open(const std::string& remote) {
        fmRemote->show();
        QApplication::processEvents();
        fmRemote->EdRemote->setText(QString::fromStdString(remote));
    }
    // The messages a click of `button` ends with.
    static QStringList Click(QPushButton* button) {
        ui::MessageCapture messages;
        button->click();
        return messages.texts();
    }
    // The list: each machine with its sets' names and where they are here.
    static QStringList Listed() {
        QStringList rows;
        QTreeWidget* list = fmRemote->lvRemoteSets;
        for (int m = 0; m < list->topLevelItemCount(); ++m) {
            QTreeWidgetItem* machine = list->topLevelItem(m);
            rows << machine->text(0);
            for (int s = 0; s < machine->childCount(); ++s)
                rows << machine->child(s)->text(0) + " " + machine->child(s)->text(3) + " " +
                            machine->child(s)->text(4);
        }
        return rows;
    }

    std::unique_ptr<testenv::ServedRemote> served;
    std::string path_;
};

// Each machine pushes its own sets and pulls the other's, once (not over the
// setting's largest file); the remote typed in is kept in the setting. The
// list shows a control character of a description as \xHH.
TEST_F(RemoteWindow, PushAndPullSayWhatTheyDidInOneMessageAndListTheRemote) {
    Open(served->Remote());
    EXPECT_EQ(Click(fmRemote->BtPush), QStringList{"Pushed 1 set."});
    std::string kept;
    ASSERT_TRUE(remote::ReadRemoteSetting(SettingsFilePath(), kept));
    EXPECT_EQ(kept, served->Remote());
    EXPECT_EQ(Listed(), (QStringList{"ALPHA (this machine)", "MFB1 yes Before the dragon\\x07"}));
    EXPECT_EQ(Click(fmRemote->BtPush), QStringList{"Nothing to push."});

    BeMachine("BRAVO");
    fmRemote->hide();
    Open(served->Remote());
    remote::WriteMaxFileSizeSetting(SettingsFilePath(), 5);
    EXPECT_EQ(Click(fmRemote->BtPull),
              QStringList{"Nothing was pulled.\n\nALPHA/MFB1: not pulled: .mfbackup-sums is 80 "
                          "bytes, over the limit of 5 bytes for a pulled file"});
    remote::WriteMaxFileSizeSetting(SettingsFilePath(), 0);
    const QStringList pulled = Click(fmRemote->BtPull);
    std::vector<std::string> here;
    for (const auto& entry : fs::directory_iterator(BackupConfig.BackupDir.Get()))
        if (entry.is_directory())
            here.push_back(entry.path().filename().string());
    ASSERT_EQ(here.size(), 1u);
    const QString local = QString::fromStdString(here[0]);
    EXPECT_EQ(pulled, QStringList{"Pulled 1 set: " + local + "."});
    EXPECT_EQ(Listed(), (QStringList{"ALPHA", "MFB1 as " + local + " Before the dragon\\x07"}));
    EXPECT_EQ(fmRemote->LbState->text(),
              "1 set on the remote; every set of the other machines is here.");
    EXPECT_EQ(Click(fmRemote->BtPull), QStringList{"Nothing to pull."});
    EXPECT_EQ(Click(fmRemote->BtPush), QStringList{"Nothing to push."});
}

// What went wrong, in rclone's words where rclone failed.
TEST_F(RemoteWindow, ARunThatFailsSaysWhyInTheSameMessage) {
    setenv("RCLONE_LOW_LEVEL_RETRIES", "1", 1);
    const std::string noPrograms = testenv::Scratch() + "/no-programs";
    fs::create_directories(noPrograms);
    const struct {
        std::string remote;
        std::string path;
        const char* starts;
        const char* holds;
    } cases[] = {
        {testenv::WebdavRemote(testenv::FreePort()), path_, "Nothing was pushed.\n\nrclone hashsum",
         "connection refused"},
        {served->Remote(), noPrograms, "rclone is not installed (Debian package rclone)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.starts);
        setenv("PATH", c.path.c_str(), 1);
        Open(c.remote);
        const QStringList said = Click(fmRemote->BtPush);
        ASSERT_EQ(said.size(), 1);
        EXPECT_TRUE(said[0].startsWith(c.starts)) << said[0].toStdString();
        EXPECT_TRUE(said[0].contains(c.holds)) << said[0].toStdString();
        EXPECT_TRUE(fmRemote->LbState->text().startsWith("The remote could not be listed: "));
        fmRemote->hide();
    }
    unsetenv("RCLONE_LOW_LEVEL_RETRIES");
}

// rclone, slowed down here, runs on a thread of its own: the window's thread
// keeps taking events, the progress window is up with what rclone does, and
// the window can't be closed or used until it is done.
TEST_F(RemoteWindow, TheWindowStaysAliveWithTheProgressWindowUpWhileRcloneRuns) {
    const std::string slow = testenv::Scratch() + "/slow/rclone";
    testenv::WriteFile(slow, "#!/bin/sh\nsleep 0.3\nexec " + platform::FindOnPath("rclone") +
                                 " \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    setenv("PATH", (testenv::Scratch() + "/slow:" + path_).c_str(), 1);
    Open(served->Remote());

    int ticks = 0;
    bool alive = true;
    QStringList lines;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        ++ticks;
        alive = alive && fmInfo->isVisible() && !fmRemote->isEnabled();
        if (lines.isEmpty() || lines.last() != fmInfo->txBackup->text())
            lines << fmInfo->txBackup->text();
        fmRemote->reject();
    });
    watch.start();
    EXPECT_EQ(Click(fmRemote->BtPush), QStringList{"Pushed 1 set."});
    watch.stop();
    EXPECT_GE(ticks, 10);
    EXPECT_TRUE(alive);
    EXPECT_TRUE(lines.filter("copying 2 files of 1 set to ").size() == 1)
        << lines.join('|').toStdString();
    EXPECT_TRUE(fmRemote->isVisible());
    EXPECT_TRUE(fmRemote->isEnabled());
    EXPECT_FALSE(fmInfo->isVisible());
}

// A pull waits for another run on the backup folder as a backup does: the
// progress window says so with its Cancel, which ends the pull with nothing
// filed and nothing more said.
TEST_F(RemoteWindow, APullWaitingForTheBackupFolderCanBeCancelled) {
    Open(served->Remote());
    ASSERT_EQ(Click(fmRemote->BtPush), QStringList{"Pushed 1 set."});
    BeMachine("BRAVO");
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(BackupConfig.BackupDir.Get()), platform::FolderLock::Outcome::Taken);
    bool cancelled = false;
    QTimer cancel;
    cancel.setInterval(20);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        // Cancel is shown a moment before the line it goes with: click it
        // once the line is there.
        if (!cancelled && fmInfo->BtCancel->isVisible() &&
            fmInfo->txBackup->text() == "Waiting for another backup to end...") {
            cancelled = true;
            fmInfo->BtCancel->click();
        }
        if (clock.elapsed() > 5000) // a Cancel that did not stop it
            other.Unlock();
    });
    cancel.start();
    EXPECT_EQ(Click(fmRemote->BtPull), QStringList{});
    EXPECT_TRUE(cancelled);
    for (const auto& entry : fs::directory_iterator(BackupConfig.BackupDir.Get()))
        ADD_FAILURE() << "left " << entry.path();
}

} // namespace
