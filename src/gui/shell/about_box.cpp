#include "gui/shell/about_box.h"

#include "gui/widgets/text_fit.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>

TfmAbout* fmAbout = nullptr;

TfmAbout::TfmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName("fmAbout");
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(368, 191);

    tx_moonforge = new QLabel("Moonforge Backup Tool", this);
    tx_moonforge->setObjectName("tx_moonforge");
    QFont titleFont = tx_moonforge->font();
    titleFont.setPixelSize(30);
    titleFont.setItalic(true);
    tx_moonforge->setFont(titleFont);
    tx_moonforge->setAlignment(Qt::AlignCenter);
    tx_moonforge->setFrameShape(QFrame::Panel);
    tx_moonforge->setFrameShadow(QFrame::Raised);
    tx_moonforge->setAutoFillBackground(true);
    tx_moonforge->setBackgroundRole(QPalette::Midlight);
    tx_moonforge->setGeometry(4, 6, 360, 62);

    lb_version = new QLabel("Version 1.02 beta, by the mfbackup developers", this);
    lb_version->setObjectName("lb_version");
    lb_version->setAlignment(Qt::AlignCenter);
    lb_version->setGeometry(4, 78, 360, 20);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setDefault(true);
    Button1->setGeometry(146, 110, 76, 28);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    Label1 = new QLabel("Comments are welcome at mfbackup@example.org", this);
    Label1->setObjectName("Label1");
    QFont smallFont = Label1->font();
    smallFont.setPixelSize(12);
    Label1->setFont(smallFont);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setGeometry(4, 169, 360, 18);

    ui::KeepTextVisible(this);
}
