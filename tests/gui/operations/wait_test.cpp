// The window's backup while another run holds the backup folder: the
// progress window says so and offers Cancel; the backup goes on once the
// other run has ended, and a cancelled wait does nothing and says nothing.

#include "dialog_tree.h"

#include "core/backup_folder_lock.h"
#include "gui/operations/backup_dialog.h"
#include "gui/widgets/message_box.h"
#include "platform/folder_lock.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

class WindowWaits : public DialogTest<TfmBackup>, public ::testing::WithParamInterface<bool> {
protected:
    WindowWaits() : DialogTest(&fmBackup) {}
};

} // namespace

TEST_P(WindowWaits, ForAnotherRunAndItsCancelEndsTheWaitWithoutASet) {
    const bool cancel = GetParam();
    const std::string save = Save("characters/characters.lpl", "played");
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    ui::MessageCapture messages;
    bool seen = false;
    // A wait that a Cancel did not end ends here, and the backup is made.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [&] { other.Unlock(); });
    // Runs while the backup waits, the events being served meanwhile.
    QTimer::singleShot(200, [&] {
        seen = true;
        EXPECT_TRUE(fmInfo->isVisible());
        EXPECT_TRUE(fmInfo->isModal());
        EXPECT_EQ(fmInfo->windowTitle(), "Backing Up");
        EXPECT_EQ(fmInfo->txBackup->text(), core::WaitingText);
        EXPECT_TRUE(fmInfo->BtCancel->isVisible());
        EXPECT_TRUE(Sets().empty());
        if (cancel) {
            QTest::mouseClick(fmInfo->BtCancel, Qt::LeftButton);
            giveUp.start(2000);
        } else
            other.Unlock();
    });
    dlg->show();
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);

    EXPECT_TRUE(seen);
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_FALSE(fmInfo->BtCancel->isVisible());
    EXPECT_FALSE(fmInfo->isModal());
    EXPECT_EQ(messages.texts(), QStringList());
    EXPECT_EQ(Sets().size(), cancel ? 0u : 1u);
    EXPECT_EQ(Changed(save), cancel);
}

INSTANTIATE_TEST_SUITE_P(Ends, WindowWaits, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Cancelled" : "OtherRunEnded");
});
