#pragma once

// The progress window the operations share: a caption, one word-wrapped
// status line, no buttons. Shown non-modally over the running dialog without
// taking the focus from it; each status line is painted at once, since the
// operation does not return to the event loop while it works.

#include <QDialog>

class QLabel;

class TfmInfo : public QDialog {
    Q_OBJECT
public:
    explicit TfmInfo(QWidget* parent = nullptr);

    QLabel* txBackup;

    // Shows the window over `owner` (the running dialog) without activating it.
    void ShowOver(QWidget* owner);
    // Sets the status line and paints it before returning.
    void SetStatus(const QString& text);
};

extern TfmInfo* fmInfo;
