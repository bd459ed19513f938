#include "gui/shell/application.h"
#include "gui/shell/main_window.h"
#include "settings/backup_config.h"

#include <QApplication>

int main(int argc, char** argv) {
    // Settings and the machine name come first, before any window exists.
    const std::vector<std::string> startupErrors = InitialiseSettings();

    QApplication app(argc, argv);
    // The name, not the display name: Qt appends a display name to every
    // window caption.
    QCoreApplication::setApplicationName(shell::ApplicationTitle);

    shell::CreateWindows();
    shell::ShowStartupErrors(startupErrors);
    Form1->show();
    const int result = app.exec();
    shell::DestroyWindows();
    return result;
}
