#include "gui/shell/application.h"

#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/settings/settings_dialog.h"
#include "gui/shell/about_box.h"
#include "gui/shell/auto_backup_window.h"
#include "gui/shell/main_window.h"
#include "gui/shell/remote_window.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "settings/backup_config.h"

namespace shell {
namespace {

template <typename T> void Destroy(T*& window) {
    delete window;
    window = nullptr;
}

} // namespace

void CreateWindows() {
    Form1 = new TForm1();
    fmAbout = new TfmAbout();
    fmSettings = new TfmSettings();
    fmBackup = new TfmBackup();
    fmInfo = new TfmInfo();
    fmRestore = new TfmRestore();
    fmExport = new TfmExport();
    fmImport = new TfmImport();
    fmAutoBackup = new TfmAutoBackup();
    fmRemote = new TfmRemote();
}

void DestroyWindows() {
    Destroy(fmRemote);
    Destroy(fmAutoBackup);
    Destroy(fmImport);
    Destroy(fmExport);
    Destroy(fmRestore);
    Destroy(fmInfo);
    Destroy(fmBackup);
    Destroy(fmSettings);
    Destroy(fmAbout);
    Destroy(Form1);
}

void ShowStartupErrors(const std::vector<std::string>& errors) {
    for (const std::string& error : errors)
        ui::ShowMessage(QString::fromStdString(error), {}, ui::MessageIcon::Error);
}

} // namespace shell
