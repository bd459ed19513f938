// Takes pictures of the program's windows for the documentation.
//
//   mf_screenshots <outdir> [--suffix S] <name>...
//
// Starts as the program does (settings, application, its windows, the
// main window with the About box over it), then goes through the program as a
// user would, in this order, and writes <outdir>/<name>.png for each name
// asked for:
//
//   about        the About box the program greets the user with
//   main-window  the main window, its Transport menu open
//   settings     the Settings dialog as it opens
//   backup       the Backup dialog with the default kinds and a description
//   info         the progress window over the Backup dialog while that
//                backup really runs (OK is pressed for it)
//   restore      the Restore dialog with the oldest set checked
//   export       the Export dialog with a set checked and the folder
//                "Export medium" of the home as its destination
//   import       the Import dialog with the folder "Import medium" typed in
//   remote       Transport > Remote with the home's "Shared saves" as the
//                remote, listing the sets another machine pushed there
//   auto-backup  Help > Automatic backups, as on a desktop with systemd and
//                mfbackup-cli on PATH (a link to the tool's own in the home's
//                ~/.local/bin; a stand-in systemctl says the watch is off)
//
// Run it under an X server with a window manager, with HOME, XDG_CONFIG_HOME
// and WINEPREFIX pointing at a sample home made by scripts/make-demo-tree:
// the pictures show that home's settings, saves and sets, and "info" adds a
// backup set to it. Each picture is the screen's area of the window with the
// window manager's frame, as the user sees it. With --suffix the files are
// named <name>S.png (for pictures taken in another desktop theme).

#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/settings/settings_dialog.h"
#include "gui/shell/about_box.h"
#include "gui/shell/application.h"
#include "gui/shell/auto_backup_window.h"
#include "gui/shell/main_window.h"
#include "gui/shell/remote_window.h"
#include "gui/shell/watch_service.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "platform/process.h"
#include "settings/backup_config.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>

namespace {

QString OutDir;
QString Suffix;
QStringList Wanted;
int Failures = 0;

bool Wants(const QString& name) {
    return Wanted.contains(name);
}

void Fail(const QString& what) {
    std::fprintf(stderr, "mf_screenshots: %s\n", qPrintable(what));
    ++Failures;
}

// Runs the event loop until `done` holds or `ms` have passed. During a running
// operation only non-input events are let through, as the operation does.
bool WaitFor(const std::function<bool()>& done, int ms,
             QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(flags, 20);
    }
    return true;
}

bool OnScreen(const QWidget* w) {
    return w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed();
}

// The window's area on the screen with the window manager's frame, asked of
// the window system each time (a widget's own frame geometry may lag behind).
QRect FrameOf(const QWidget* w) {
    return w->windowHandle() ? w->windowHandle()->frameGeometry() : w->frameGeometry();
}

// Whether the window manager has framed the window (a frame of zero size
// means it has not yet, or that no window manager runs).
bool Framed(const QWidget* w) {
    return FrameOf(w) != w->geometry();
}

// Waits until the window stands still: the same frame for a while.
void WaitSteady(const QWidget* w, QEventLoop::ProcessEventsFlags flags) {
    QRect last = FrameOf(w);
    QElapsedTimer steady;
    steady.start();
    WaitFor(
        [&] {
            const QRect now = FrameOf(w);
            if (now != last) {
                last = now;
                steady.restart();
            }
            return steady.elapsed() >= 300;
        },
        3000, flags);
}

// Takes the screen's area covering `windows` with their frames, once they are
// up, framed, drawn and still.
void Shoot(const QString& name, std::initializer_list<QWidget*> windows,
           QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents) {
    if (!Wants(name))
        return;
    for (QWidget* w : windows) {
        if (!WaitFor([w] { return OnScreen(w); }, 5000, flags)) {
            Fail(name + ": " + w->objectName() + " did not appear");
            return;
        }
        WaitFor([w] { return Framed(w); }, 2000, flags);
    }
    for (QWidget* w : windows)
        WaitSteady(w, flags);

    QRect area;
    for (QWidget* w : windows)
        area |= FrameOf(w);
    QScreen* screen = windows.begin()[0]->screen();
    area &= screen->geometry();
    const QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString file = OutDir + "/" + name + Suffix + ".png";
    if (picture.size() != area.size()) {
        Fail(QString("%1: took %2x%3 of the screen instead of %4x%5")
                 .arg(name)
                 .arg(picture.width())
                 .arg(picture.height())
                 .arg(area.width())
                 .arg(area.height()));
        return;
    }
    if (!picture.save(file, "PNG")) {
        Fail("cannot write " + file);
        return;
    }
    std::printf("%s\n", qPrintable(file));
    std::fflush(stdout);
}

// Chooses `item` as the user does (its handler opens `dialog` modally) and
// runs `whileOpen` once the dialog is up; a dialog still open afterwards is
// cancelled.
void WithDialog(QAction* item, QDialog* dialog, const std::function<void()>& whileOpen) {
    QTimer::singleShot(0, dialog, [dialog, whileOpen] {
        if (!WaitFor([dialog] { return QApplication::activeModalWidget() == dialog; }, 5000)) {
            Fail(dialog->objectName() + " did not open");
            return;
        }
        whileOpen();
        if (dialog->isVisible())
            dialog->reject();
    });
    item->trigger();
}

// Checks the listed set whose text holds `description`, as a click on its box
// does.
bool CheckSet(TfmRestore* dialog, const QString& description) {
    for (int i = 0; i < dialog->ckRestore->count(); ++i) {
        QListWidgetItem* item = dialog->ckRestore->item(i);
        if (item->text().contains(description)) {
            item->setCheckState(Qt::Checked);
            return true;
        }
    }
    Fail(dialog->objectName() + ": no set \"" + description + "\" listed");
    return false;
}

QString HomeFolder(const QString& name) {
    return QDir::homePath() + "/" + name + "/";
}

void ShootMainWindow() {
    // The Transport menu open shows where Export and Import are.
    Form1->MainMenu1->setActiveAction(Form1->Transport1);
    WaitFor([] { return OnScreen(Form1->TransportMenu); }, 2000);
    Shoot("main-window", {Form1});
    Form1->TransportMenu->hide();
}

void ShootBackup() {
    WithDialog(Form1->Backup1, fmBackup, [] {
        fmBackup->EdDesc->setText("Before the Drowned Chapel");
        Shoot("backup", {fmBackup});
        if (!Wants("info"))
            return;

        // Pressing OK runs the backup without returning to the event loop;
        // the progress window repaints each status line and lets the other
        // events through, and with them this timer. Once the line names a
        // save file, the window is pictured over the running dialog.
        const QString gameDir = QString::fromStdString(BackupConfig.GameDir.Get());
        bool taken = false;
        QTimer watch;
        watch.setInterval(0);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (taken || !fmInfo->isVisible() || !fmInfo->txBackup->text().startsWith(gameDir))
                return;
            taken = true;
            watch.stop();
            Shoot("info", {fmBackup, fmInfo}, QEventLoop::ExcludeUserInputEvents);
        });
        watch.start();
        fmBackup->Button1->click();
        watch.stop();
        if (!taken)
            Fail("info: the backup ended before the progress window showed a file");
    });
}

void ShootRestore() {
    WithDialog(Form1->Restore1, fmRestore, [] {
        // The oldest set holds every kind.
        CheckSet(fmRestore, "Before the siege of Frost Keep");
        Shoot("restore", {fmRestore});
    });
}

void ShootExport() {
    WithDialog(Form1->Export1, fmExport, [] {
        CheckSet(fmExport, "Ember Road, after chapter 2");
        fmExport->EdDestination->setText(HomeFolder("Export medium"));
        Shoot("export", {fmExport});
    });
}

void ShootImport() {
    WithDialog(Form1->Import1, fmImport, [] {
        fmImport->EdImport->setText(HomeFolder("Import medium"));
        Shoot("import", {fmImport});
    });
}

void ShootRemote() {
    WithDialog(Form1->Remote1, fmRemote, [] {
        // The list comes once rclone has looked at the remote.
        if (!WaitFor([] { return !fmRemote->LbState->text().isEmpty(); }, 10000))
            Fail("remote: the remote was not listed");
        Shoot("remote", {fmRemote});
    });
}

void ShootAutoBackup() {
    if (!Wants("auto-backup"))
        return;
    const QString bin = QDir::homePath() + "/.local/bin";
    QDir().mkpath(bin);
    QFile::link(QString::fromStdString(platform::ModuleDirectory()) + "mfbackup-cli",
                bin + "/mfbackup-cli");
    qputenv("PATH", (bin + ":" + qEnvironmentVariable("PATH")).toLocal8Bit());
    QTemporaryDir stand;
    const QString systemctl = stand.filePath("systemctl");
    QFile script(systemctl);
    if (!script.open(QIODevice::WriteOnly) ||
        script.write("#!/bin/sh\ncase $2 in is-enabled) echo disabled; exit 1 ;; "
                     "is-active) echo inactive; exit 3 ;; esac\n") < 0) {
        Fail("cannot write " + systemctl);
        return;
    }
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    shell::SetSystemctl(systemctl);
    WithDialog(Form1->AutoBackup1, fmAutoBackup, [] {
        if (!WaitFor([] { return fmAutoBackup->BtWatch->isEnabled(); }, 5000))
            Fail("auto-backup: " + fmAutoBackup->LbWatchState->text());
        Shoot("auto-backup", {fmAutoBackup});
    });
    shell::SetSystemctl({});
}

// Everything after the About box, in the order of the pictures.
void TourProgram() {
    // Wait for the window manager's frame, which the main window needs to
    // take its size; without a window manager the pictures have no frames.
    if (!WaitFor([] { return Framed(Form1); }, 3000))
        std::fprintf(stderr, "mf_screenshots: no window manager frames the windows\n");
    ShootMainWindow();
    WithDialog(Form1->Settings1, fmSettings, [] { Shoot("settings", {fmSettings}); });
    ShootBackup();
    ShootRestore();
    ShootExport();
    ShootImport();
    ShootRemote();
    ShootAutoBackup();
    Form1->close();
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> startupErrors = InitialiseSettings();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(shell::ApplicationTitle);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <outdir> [--suffix S] <name>...\n", argv[0]);
        return 2;
    }
    OutDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(OutDir);
    const QStringList known = {"about",   "main-window", "settings", "backup", "info",
                               "restore", "export",      "import",   "remote", "auto-backup"};
    int first = 2;
    if (argc > 3 && std::strcmp(argv[2], "--suffix") == 0) {
        Suffix = QString::fromLocal8Bit(argv[3]);
        first = 4;
    }
    for (int i = first; i < argc; ++i) {
        const QString name = QString::fromLocal8Bit(argv[i]);
        if (!known.contains(name)) {
            std::fprintf(stderr, "unknown picture %s (known: %s)\n", argv[i],
                         qPrintable(known.join(' ')));
            return 2;
        }
        Wanted << name;
    }

    // A message would stop the tour: it goes to the terminal, and counts as
    // a failure, since no picture should need one.
    ui::SetMessageHandler([](const ui::Message& m) { Fail("message: " + m.text); });

    shell::CreateWindows();
    shell::ShowStartupErrors(startupErrors);

    // The main window shows the About box modally once it is up: picture it,
    // close it, and go on from the main loop.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != fmAbout)
            return;
        poll.stop();
        Shoot("about", {fmAbout});
        QTimer::singleShot(0, &TourProgram);
        fmAbout->accept();
    });
    poll.start(50);
    Form1->show();
    app.exec();
    shell::DestroyWindows();
    return Failures == 0 ? 0 : 1;
}
