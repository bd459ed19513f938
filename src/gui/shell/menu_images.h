#pragma once

// The 32 x 16 images of the five menu-bar items, drawn in the 16 colours of
// the classic palette on a transparent ground.

#include <QIcon>

namespace shell {

inline constexpr int MenuImageWidth = 32;
inline constexpr int MenuImageHeight = 16;

QIcon BackupImage();    // a folder, an arrow into a disk
QIcon RestoreImage();   // the same, the arrow back out of the disk
QIcon SettingsImage();  // two gears
QIcon TransportImage(); // a lorry
QIcon HelpImage();      // a question mark and a book

} // namespace shell
