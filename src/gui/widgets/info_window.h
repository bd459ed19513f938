#pragma once

// The progress window the operations share: a caption, one word-wrapped
// status line, no buttons. Shown non-modally over the running dialog without
// taking the focus from it. The operation does not return to the event loop
// while it works, so the window paints its lines itself: at most one every
// 16 ms (a backup of small files gives many lines per frame, and painting
// each would cost more than copying it); a line that came too soon is
// painted by the next one that may be, or by ShowPending.
//
// While the operation waits for another run to let go of the backup folder,
// the window also offers Cancel, and is modal so that nothing else starts
// meanwhile.

#include <QDialog>
#include <QElapsedTimer>

class QLabel;
class QPushButton;

class TfmInfo : public QDialog {
    Q_OBJECT
public:
    explicit TfmInfo(QWidget* parent = nullptr);

    QLabel* txBackup;
    QPushButton* BtCancel; // shown only while waiting (SetWaiting)

    // Shows the window over `owner` (the running dialog) without activating it.
    void ShowOver(QWidget* owner);
    // Sets the status line; paints it before returning unless a line was
    // painted less than PaintInterval ms ago (txBackup then shows the line
    // before until the next paint).
    void SetStatus(const QString& text);
    // Paints the newest status line now if it was not painted yet: before the
    // operation waits on something (a flush to disk, a message box) or ends.
    void ShowPending();

    // Before the window is shown for a wait, and once it is over: Cancel
    // shown and the window modal only while waiting.
    void SetWaiting(bool waiting);
    // Cancel (or Escape) was pressed during this wait.
    bool Cancelled() const { return cancelled_; }

    static constexpr int PaintInterval = 16; // ms: a frame at 60 Hz

protected:
    void reject() override;

private:
    void Paint();

    QElapsedTimer painted_;
    QString pendingText_;
    bool pending_ = false;
    bool waiting_ = false;
    bool cancelled_ = false;
};

extern TfmInfo* fmInfo;
