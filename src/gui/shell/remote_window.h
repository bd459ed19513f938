#pragma once

// Transport > Remote: this machine's sets pushed to an rclone remote and the
// other machines' sets pulled from it, with what the remote holds by
// machine. rclone runs on a thread of its own, the window waiting with the
// progress window painted; the outcome is told in one message.

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace core {
class Reporter;
}

class TfmRemote : public QDialog {
    Q_OBJECT
public:
    explicit TfmRemote(QWidget* parent = nullptr);

    QLabel* LbRemote;
    QLineEdit* EdRemote; // the rclone remote, kept in the remote setting
    QLabel* LbHint;
    QPushButton* BtPush;
    QPushButton* BtPull;
    QPushButton* BtRefresh;
    QTreeWidget* lvRemoteSets; // machine, then its sets: date, files, here, description
    QLabel* LbState;           // what the list shows, or why it shows nothing
    QPushButton* BtClose;

    void BtPushClick();
    void BtPullClick();
    // Lists what the remote holds now.
    void BtRefreshClick();
    // Whether rclone is running for the window.
    bool Busy() const { return busy_; }

    // Closes the window, once rclone is done.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // What a run on the worker thread found: the outcome's messages, and the
    // sets of the remote afterwards.
    struct Outcome;
    // Runs `work` on a thread of its own, and the listing of the remote
    // after it, while the progress window shows what it does.
    void RunInBackground(const QString& caption, const std::function<void(core::Reporter&)>& work,
                         Outcome& outcome);
    void ShowSets(const Outcome& outcome);
    // Keeps the remote typed in the setting; false, said, when it can't be.
    bool KeepRemote();
    void UpdateButtons();
    void FitToText();

    bool busy_ = false;
};

extern TfmRemote* fmRemote;
