#pragma once

#include <QDialog>

class TfmRestore : public QDialog {
    Q_OBJECT
public:
    explicit TfmRestore(QWidget* parent = nullptr);
};

extern TfmRestore* fmRestore;
