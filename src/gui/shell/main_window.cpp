#include "gui/shell/main_window.h"

#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/settings/settings_dialog.h"
#include "gui/shell/about_box.h"
#include "gui/shell/auto_backup_window.h"
#include "gui/shell/menu_bar_style.h"
#include "gui/shell/menu_images.h"
#include "gui/shell/remote_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>

TForm1* Form1 = nullptr;

namespace {

constexpr QSize OuterSize(795, 586);

QAction* MakeItem(QObject* parent, const char* name, const QString& caption,
                  const QString& hint = {}) {
    auto* action = new QAction(caption, parent);
    action->setObjectName(name);
    action->setStatusTip(hint);
    action->setToolTip(hint.isEmpty() ? QString(caption).remove('&') : hint);
    return action;
}

QMenu* MakeDropDown(QMenuBar* bar, const char* name, const QString& caption, const QString& hint,
                    const QIcon& image) {
    auto* menu = new QMenu(caption, bar);
    menu->setObjectName(name);
    menu->setToolTipsVisible(true);
    QAction* item = menu->menuAction();
    item->setObjectName(name);
    item->setIcon(image);
    item->setStatusTip(hint);
    if (!hint.isEmpty())
        item->setToolTip(hint);
    bar->addMenu(menu);
    return menu;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Form1");
    setWindowTitle("Moonforge Backup Tool");
    setCentralWidget(new QMdiArea(this));
    resize(OuterSize);

    MainMenu1 = menuBar();
    MainMenu1->setObjectName("MainMenu1");
    auto* style = new shell::MenuBarStyle();
    style->setParent(MainMenu1);
    MainMenu1->setStyle(style);

    // Commands placed on the bar itself act at once when chosen there.
    Backup1 = MakeItem(MainMenu1, "Backup1", "&Backup", "Backup gamefiles.");
    Backup1->setIcon(shell::BackupImage());
    MainMenu1->addAction(Backup1);
    Restore1 = MakeItem(MainMenu1, "Restore1", "&Restore", "Restore gamefiles");
    Restore1->setIcon(shell::RestoreImage());
    MainMenu1->addAction(Restore1);
    Settings1 = MakeItem(MainMenu1, "Settings1", "&Settings", "Game options.");
    Settings1->setIcon(shell::SettingsImage());
    MainMenu1->addAction(Settings1);

    TransportMenu = MakeDropDown(MainMenu1, "Transport1", "&Transport",
                                 "Move gamefiles to another system.", shell::TransportImage());
    Transport1 = TransportMenu->menuAction();
    Export1 = MakeItem(TransportMenu, "Export1", "&Export", "Export backup files to a medium.");
    TransportMenu->addAction(Export1);
    Import1 = MakeItem(TransportMenu, "Import1", "&Import", "Import backup files from a medium");
    TransportMenu->addAction(Import1);
    Remote1 = MakeItem(TransportMenu, "Remote1", "&Remote...",
                       "Push backup sets to a remote and pull those of your other machines.");
    TransportMenu->addAction(Remote1);

    HelpMenu = MakeDropDown(MainMenu1, "Help1", "&Help", {}, shell::HelpImage());
    Help1 = HelpMenu->menuAction();
    About1 = MakeItem(HelpMenu, "About1", "&About");
    HelpMenu->addAction(About1);
    AutoBackup1 = MakeItem(HelpMenu, "AutoBackup1", "A&utomatic backups...",
                           "Back up the saves by themselves, from Steam, Lutris or Heroic.");
    HelpMenu->addAction(AutoBackup1);

    Exit1 = MakeItem(MainMenu1, "Exit1", "E&xit");
    MainMenu1->addAction(Exit1);

    connect(Backup1, &QAction::triggered, this, &TForm1::Backup1Click);
    connect(Restore1, &QAction::triggered, this, &TForm1::Restore1Click);
    connect(Settings1, &QAction::triggered, this, &TForm1::Settings1Click);
    connect(Export1, &QAction::triggered, this, &TForm1::Export1Click);
    connect(Import1, &QAction::triggered, this, &TForm1::Import1Click);
    connect(Remote1, &QAction::triggered, this, &TForm1::Remote1Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
    connect(AutoBackup1, &QAction::triggered, this, &TForm1::AutoBackup1Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
}

// The dialogs' results are of no interest here: the work is done in them.
void TForm1::Backup1Click() {
    fmBackup->exec();
}
void TForm1::Restore1Click() {
    fmRestore->exec();
}
void TForm1::Settings1Click() {
    fmSettings->exec();
}
void TForm1::Export1Click() {
    fmExport->exec();
}
void TForm1::Import1Click() {
    fmImport->exec();
}
void TForm1::Remote1Click() {
    fmRemote->exec();
}
void TForm1::About1Click() {
    fmAbout->exec();
}
void TForm1::AutoBackup1Click() {
    fmAutoBackup->exec();
}
void TForm1::Exit1Click() {
    close();
}

void TForm1::FormActivate() {
    fmAbout->exec();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    // The About box greets the user once the main window is up. Qt activates
    // the main window again after every modal dialog, so this hangs on the
    // first showing instead of on activation.
    QTimer::singleShot(0, this, [this] {
        // A window manager's frame is known only now: keep the outer size.
        const QSize frame = frameGeometry().size() - geometry().size();
        if (!frame.isEmpty() && frame.width() < OuterSize.width() / 2) {
            resize(OuterSize - frame);
            if (const QScreen* s = screen())
                move(s->availableGeometry().center() - frameGeometry().center() + pos());
        }
        FormActivate();
    });
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the run; nothing is saved.
    event->accept();
    QCoreApplication::quit();
}
