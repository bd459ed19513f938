#include "ui/info_window.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QVBoxLayout>

TfmInfo* fmInfo = nullptr;

TfmInfo::TfmInfo(QWidget* parent) : QDialog(parent) {
    setObjectName("fmInfo");
    setWindowTitle("Backing up");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(499, 70);

    txBackup = new QLabel("Backing up:", this);
    txBackup->setObjectName("txBackup");
    txBackup->setWordWrap(true);
    txBackup->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont font("Verdana");
    font.setPixelSize(13);
    font.setItalic(true);
    txBackup->setFont(font);
    txBackup->setGeometry(5, 5, 488, 60);
}

void TfmInfo::ShowOver(QWidget* owner) {
    if (owner && owner->window() != parentWidget()) {
        // Re-parenting keeps the window in front of the running dialog.
        const QString caption = windowTitle();
        setParent(owner->window(), windowFlags());
        setWindowTitle(caption);
    }
    show();
    raise();
    // Let the window appear before the first file is worked on; user input
    // stays queued until the operation returns.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TfmInfo::SetStatus(const QString& text) {
    txBackup->setText(text);
    txBackup->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
