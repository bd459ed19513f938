#include "shell/application.h"

#include "config/backup_config.h"
#include "config/settings_dialog.h"
#include "operations/backup_dialog.h"
#include "operations/export_dialog.h"
#include "operations/import_dialog.h"
#include "operations/restore_dialog.h"
#include "shell/about_box.h"
#include "shell/main_window.h"
#include "ui/info_window.h"
#include "ui/message_box.h"

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
}

void DestroyWindows() {
    Destroy(fmImport);
    Destroy(fmExport);
    Destroy(fmRestore);
    Destroy(fmInfo);
    Destroy(fmBackup);
    Destroy(fmSettings);
    Destroy(fmAbout);
    Destroy(Form1);
}

void ShowStartupErrors() {
    for (const QString& error : TakeStartupErrors())
        ui::ShowMessage(error, {}, ui::MessageIcon::Error);
}

} // namespace shell
