#include "gui/widgets/info_window.h"

#include "gui/widgets/text_fit.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QWindow>

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
    ui::KeepTextVisible(this);
}

void TfmInfo::ShowOver(QWidget* owner) {
    // Kept in front of the running dialog by the window system, not by
    // re-parenting: the progress window lives as long as the program does,
    // independent of the dialog that shows it.
    create();
    if (owner && owner->window()->windowHandle())
        windowHandle()->setTransientParent(owner->window()->windowHandle());
    show();
    raise();
    painted_.invalidate(); // the first line is painted at once
    // Let the window appear before the first file is worked on; user input
    // stays queued until the operation returns.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TfmInfo::SetStatus(const QString& text) {
    // The label takes the line only when it is painted: setting a text lays
    // it out, which is most of the cost of a line never seen.
    pendingText_ = text;
    pending_ = true;
    if (!painted_.isValid() || painted_.elapsed() >= PaintInterval)
        Paint();
}

void TfmInfo::ShowPending() {
    if (pending_)
        Paint();
}

void TfmInfo::Paint() {
    pending_ = false;
    txBackup->setText(pendingText_);
    txBackup->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    painted_.start();
}
