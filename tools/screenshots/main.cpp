// Takes pictures of the program's windows for the documentation.
//
//   mf_screenshots <outdir> <name>...
//
// Starts as the program does (settings, application, the eight windows, the
// main window with the About box over it) and writes <outdir>/<name>.png for
// each name: "main-window", "about", or a window's short name ("settings",
// "backup", "info", "restore", "export", "import") or object name.
// Run it with HOME, XDG_CONFIG_HOME and WINEPREFIX pointing where the
// pictures' settings and files should come from.

#include "config/backup_config.h"
#include "config/settings_dialog.h"
#include "operations/backup_dialog.h"
#include "operations/export_dialog.h"
#include "operations/import_dialog.h"
#include "operations/restore_dialog.h"
#include "shell/about_box.h"
#include "shell/application.h"
#include "shell/main_window.h"
#include "ui/info_window.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <map>

namespace {

QWidget* WindowNamed(const QString& name) {
    const std::map<QString, QWidget*> windows = {
        {"main-window", Form1}, {"about", fmAbout},   {"settings", fmSettings},
        {"backup", fmBackup},   {"info", fmInfo},     {"restore", fmRestore},
        {"export", fmExport},   {"import", fmImport},
    };
    if (auto it = windows.find(name); it != windows.end())
        return it->second;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name)
            return w;
    return nullptr;
}

bool Capture(QWidget* window, const QString& file) {
    // The main window and the About box are already up; the other dialogs
    // are shown for the picture (which runs their opening handlers).
    const bool wasVisible = window->isVisible();
    if (!wasVisible)
        window->show();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    const bool ok = window->grab().save(file, "PNG");
    if (!wasVisible)
        window->hide();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    InitialiseSettings();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(shell::ApplicationTitle);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <outdir> <name>...\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);

    // Messages a window shows while it opens go to the terminal.
    ui::SetMessageHandler(
        [](const ui::Message& m) { std::fprintf(stderr, "message: %s\n", qPrintable(m.text)); });

    shell::CreateWindows();
    shell::ShowStartupErrors();

    int failures = 0;
    QTimer poll;
    // The main window shows the About box modally once it is up: take every
    // picture while that box is open, then close it and end.
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != fmAbout)
            return;
        poll.stop();
        for (int i = 2; i < argc; ++i) {
            const QString name = QString::fromLocal8Bit(argv[i]);
            QWidget* window = WindowNamed(name);
            const QString file = outDir + "/" + name + ".png";
            if (!window || !Capture(window, file)) {
                std::fprintf(stderr, "cannot take %s\n", qPrintable(name));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(file));
            }
        }
        fmAbout->accept();
        Form1->close();
    });
    poll.start(50);
    Form1->show();
    app.exec();
    shell::DestroyWindows();
    return failures == 0 ? 0 : 1;
}
