#include "gui/widgets/info_window.h"

#include "gui/widgets/text_fit.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QPushButton>
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

    BtCancel = new QPushButton("Cancel", this);
    BtCancel->setObjectName("BtCancel");
    BtCancel->setGeometry(418, 40, 75, 25);
    BtCancel->hide();
    connect(BtCancel, &QPushButton::clicked, this, &TfmInfo::reject);
    ui::KeepTextVisible(this);
}

void TfmInfo::SetWaiting(bool waiting) {
    // Modality takes effect when the window is shown: it is shown afresh
    // for a wait, and hidden at its end.
    hide();
    waiting_ = waiting;
    cancelled_ = false;
    setWindowModality(waiting ? Qt::ApplicationModal : Qt::NonModal);
    BtCancel->setVisible(waiting);
}

void TfmInfo::reject() {
    // While waiting, Cancel and Escape give the wait up; the operation then
    // hides the window.
    if (waiting_)
        cancelled_ = true;
    else
        QDialog::reject();
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
