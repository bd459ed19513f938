#include "operations/operation_helpers.h"

#include "config/backup_config.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "ui/file_dialog.h"
#include "ui/info_window.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>

namespace operations {

std::string KindExtension(const char* plain) {
    return BackupConfig.ZipBackups != 0 ? "zip" : plain;
}

std::string WithZipExtension(const std::string& path) {
    const std::string folder = platform::ExtractFilePath(path);
    const std::string name = platform::ExtractFileName(path);
    const auto dot = name.rfind('.');
    return folder + (dot == std::string::npos ? std::string() : name.substr(0, dot + 1)) + "zip";
}

void ShowProgress(const QString& caption, QWidget* owner) {
    if (!fmInfo)
        return;
    fmInfo->setWindowTitle(caption);
    fmInfo->ShowOver(owner);
}

void ProgressText(const std::string& text) {
    if (fmInfo)
        fmInfo->SetStatus(Q(text));
}

void HideProgress() {
    if (fmInfo)
        fmInfo->hide();
}

void CompleteFolderText(QLineEdit* edit) {
    const std::string text = edit->text().toStdString();
    if (!text.empty() && text.back() != platform::PathDelim && platform::DirectoryExists(text))
        edit->setText(Q(text + platform::PathDelim));
}

void BrowseFolder(ui::OpenDialog* dialog, QWidget* parent, QLineEdit* edit) {
    dialog->StartFolder = edit->text();
    if (dialog->Execute(parent))
        edit->setText(Q(platform::ExtractFilePath(dialog->FileName.toStdString())));
}

QLabel* MakeNoSaveLine(QDialog* dialog) {
    auto* line = new QLabel(dialog);
    line->setObjectName("LbNoSave");
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->setVisible(false);
    return line;
}

void UpdateNoSaveLine(QDialog* dialog, QLabel* line, int height) {
    const std::string gameDir = BackupConfig.GameDir.Get();
    const bool noSave = !platform::DirectoryExists(gameDir + "save");
    line->setText(Q("No Moonforge save folder in " + gameDir +
                    ". Choose the game's folder in Settings (Find looks for it)."));
    const int width = dialog->width() - 16;
    const int lineHeight = line->heightForWidth(width);
    line->setGeometry(8, height, width, lineHeight);
    line->setVisible(noSave);
    dialog->setFixedSize(dialog->width(), noSave ? height + lineHeight + 8 : height);
}

} // namespace operations
