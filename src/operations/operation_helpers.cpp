#include "operations/operation_helpers.h"

#include "config/backup_config.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "ui/file_dialog.h"
#include "ui/info_window.h"
#include "ui/message_box.h"

#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace operations {

bool ZipBackups() {
    return BackupConfig.ZipBackups != 0;
}

void DialogReporter::Message(const std::string& text) {
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

namespace {

constexpr const char* kHeightWithoutLine = "mfHeightWithoutLine";
constexpr int kLineMargin = 8;

// The dialog fits its controls to their texts as it is shown (ui::KeepTextVisible),
// and would take the line for one of them: the line is hidden before each fit
// (this filter runs before the fitter's) and laid out again after it.
class NoSaveLineKeeper : public QObject {
public:
    NoSaveLineKeeper(QDialog* dialog, QLabel* line) : QObject(line), dialog_(dialog), line_(line) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != dialog_)
            return false;
        const QEvent::Type type = event->type();
        if (type == QEvent::Show && !event->spontaneous()) {
            Hide();
        } else if (type == QEvent::FontChange || type == QEvent::StyleChange) {
            // The fitter fits on the next turn of the event loop; the line
            // comes back on the turn after.
            const bool shown = !line_->isHidden();
            Hide();
            if (shown)
                QTimer::singleShot(0, line_, [this] {
                    QTimer::singleShot(0, line_, [this] { UpdateNoSaveLine(dialog_, line_); });
                });
        }
        return false;
    }

private:
    void Hide() {
        if (line_->isHidden())
            return;
        line_->hide();
        dialog_->setFixedSize(dialog_->width(), line_->property(kHeightWithoutLine).toInt());
    }

    QDialog* dialog_;
    QLabel* line_;
};

} // namespace

QLabel* MakeNoSaveLine(QDialog* dialog) {
    auto* line = new QLabel(dialog);
    line->setObjectName("LbNoSave");
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->hide();
    dialog->installEventFilter(new NoSaveLineKeeper(dialog, line));
    return line;
}

void UpdateNoSaveLine(QDialog* dialog, QLabel* line) {
    if (line->isHidden())
        line->setProperty(kHeightWithoutLine, dialog->height());
    const int height = line->property(kHeightWithoutLine).toInt();
    const std::string gameDir = BackupConfig.GameDir.Get();
    const bool noSave = !platform::DirectoryExists(gameDir + "save");
    line->setText(Q("No Moonforge save folder in " + gameDir +
                    ". Choose the game's folder in Settings (Find looks for it)."));
    const int width = dialog->width() - 2 * kLineMargin;
    const int lineHeight = line->heightForWidth(width);
    line->setGeometry(kLineMargin, height, width, lineHeight);
    line->setVisible(noSave);
    dialog->setFixedSize(dialog->width(), noSave ? height + lineHeight + kLineMargin : height);
}

} // namespace operations
