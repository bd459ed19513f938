#pragma once

// Start-up and shut-down of the windows, shared by the program and its tests.

#include <QString>

#include <string>
#include <vector>

namespace shell {

// The title of the program's task-bar button and of message boxes without a
// caption of their own.
inline const QString ApplicationTitle = QStringLiteral("Moonforge BackUp Tool");

// Creates the windows, each once, in this order: Form1, fmAbout, fmSettings,
// fmBackup, fmInfo, fmRestore, fmExport, fmImport, fmAutoBackup, then fmRemote. The
// settings must be loaded first (the restore dialog reads them when it is
// created).
void CreateWindows();
// Destroys them in the reverse order and clears their globals.
void DestroyWindows();

// Shows the errors of the settings start-up step, now that boxes can be shown.
void ShowStartupErrors(const std::vector<std::string>& errors);

} // namespace shell
