#include "gui/operations/operation_helpers.h"

#include "gui/widgets/file_dialog.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "gui/widgets/text_fit.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "settings/backup_config.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

namespace operations {

bool ZipBackups() {
    return BackupConfig.ZipBackups != 0;
}

std::string BackupDir() {
    return BackupConfig.BackupDir.Get();
}

std::string GameDir() {
    return BackupConfig.GameDir.Get();
}

void DialogReporter::Message(const std::string& text) {
    ProgressFlush(); // the box is read with the line it is about
    ui::ShowMessage(Q(text));
}

void DialogReporter::ProgressShow(const std::string& caption) {
    if (!fmInfo)
        return;
    fmInfo->setWindowTitle(Q(caption));
    fmInfo->ShowOver(owner_);
}

void DialogReporter::ProgressText(const std::string& text) {
    if (fmInfo)
        fmInfo->SetStatus(Q(text));
}

void DialogReporter::ProgressHide() {
    if (!fmInfo)
        return;
    fmInfo->ShowPending();
    fmInfo->hide();
}

void DialogReporter::ProgressFlush() {
    if (fmInfo)
        fmInfo->ShowPending();
}

void DialogReporter::WaitStart(const std::string& caption, const std::string& text) {
    if (!fmInfo)
        return;
    fmInfo->SetWaiting(true);
    ProgressShow(caption);
    ProgressText(text);
    ProgressFlush();
}

bool DialogReporter::KeepWaiting() {
    if (!fmInfo)
        return true;
    // Input too: the window is modal, only its Cancel can be pressed.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return !fmInfo->Cancelled();
}

void DialogReporter::WaitOver() {
    if (!fmInfo)
        return;
    fmInfo->SetWaiting(false);
}

std::string FolderIn(const QLineEdit* edit) {
    return ui::PathOnDisk(edit->text());
}

void CompleteFolderText(QLineEdit* edit) {
    const std::string text = FolderIn(edit);
    if (!text.empty() && text.back() != platform::PathDelim && platform::DirectoryExists(text))
        edit->setText(Q(text + platform::PathDelim));
}

void BrowseFolder(ui::OpenDialog* dialog, QWidget* parent, QLineEdit* edit) {
    dialog->StartFolder = edit->text();
    if (dialog->Execute(parent))
        edit->setText(Q(platform::ExtractFilePath(ui::PathOnDisk(dialog->FileName))));
}

QLabel* MakeNoSaveLine(QDialog* dialog) {
    auto* line = new QLabel(dialog);
    line->setObjectName("LbNoSave");
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->hide();
    ui::SetFooter(line);
    return line;
}

void UpdateNoSaveLine(QDialog* dialog, QLabel* line) {
    const std::string gameDir = GameDir();
    line->setText(Q("No Moonforge save folder in " + gameDir +
                    ". Choose the game's folder in Settings (Find looks for it)."));
    line->setVisible(!platform::DirectoryExists(gameDir + "save"));
    ui::FitNow(dialog);
}

} // namespace operations
