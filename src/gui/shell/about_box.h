#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TfmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfmAbout(QWidget* parent = nullptr);

    QLabel* tx_moonforge;
    QLabel* lb_version;
    QPushButton* Button1;
    QLabel* Label1;
};

extern TfmAbout* fmAbout;
