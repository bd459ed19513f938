#pragma once

// What the Backup, Restore, Export and Import dialogs share: the core's
// reports shown as message boxes and in the progress window, and the folder
// fields.

#include "core/reporter.h"

#include <QString>

#include <string>

class QDialog;
class QLabel;
class QLineEdit;
class QWidget;

namespace ui {
class OpenDialog;
}

namespace operations {

// Paths stay bytes; they become text only to be shown.
inline QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Whether backups hold archives, by the current settings.
bool ZipBackups();
// The folders of the current settings, each ending in '/'.
std::string BackupDir();
std::string GameDir();

// The core's reports as the dialogs show them: messages in the message box;
// the progress window, where there is one, shown with its caption in front
// of `owner`, given one status line at a time (painted as often as the
// window paints, the newest always before a message, a wait or the end),
// hidden.
class DialogReporter : public core::Reporter {
public:
    explicit DialogReporter(QWidget* owner) : owner_(owner) {}
    void Message(const std::string& text) override;
    void ProgressShow(const std::string& caption) override;
    void ProgressText(const std::string& text) override;
    void ProgressHide() override;
    void ProgressFlush() override;
    // A wait for the backup folder: the progress window shows the text and
    // Cancel, and the events are served while waiting.
    void WaitStart(const std::string& caption, const std::string& text) override;
    bool KeepWaiting() override;
    void WaitOver() override;

private:
    QWidget* owner_;
};

// The folder a field names, as bytes on disk: a name that is not UTF-8 is
// shown with replacement characters, and found again by them.
std::string FolderIn(const QLineEdit* edit);

// Leaving a folder field: a text that names an existing folder gets its
// final separator, so that file names can be joined to it directly.
void CompleteFolderText(QLineEdit* edit);
// Browse: the dialog starts in the folder the field names (when it exists);
// the field takes the folder part of the name the user confirms.
void BrowseFolder(ui::OpenDialog* dialog, QWidget* parent, QLineEdit* edit);

// The line under a dialog's controls that tells why every kind is greyed:
// GameDir holds no save folder. Made hidden, named LbNoSave, as the dialog's
// footer; Update (from the activation handler) shows it only while that is
// so, the dialog growing by the line.
QLabel* MakeNoSaveLine(QDialog* dialog);
void UpdateNoSaveLine(QDialog* dialog, QLabel* line);

} // namespace operations
