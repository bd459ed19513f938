// Stands in for the installed program in the install test. Started through
// the installed bin/ link, it runs the archiver the way the program does
// (RunArchiver with the bare name), so it finds pkzip.exe only when the
// search of the running program's own folder works for the installed layout.
//
//   install_probe                 prints where the archiver is found ("" if not)
//   install_probe <dir> <params>  also runs RunArchiver(ArchiverName, params, dir)
//
// Messages the program would show go to standard error instead.

#include "gui/widgets/message_box.h"
#include "launcher/archiver_call.h"
#include "platform/process.h"

#include <QApplication>

#include <iostream>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::cout << platform::SearchProgram(ArchiverName) << std::endl;
    if (argc < 3)
        return 0;

    ui::MessageCapture messages;
    const bool ran = RunArchiver(ArchiverName, argv[2], argv[1]);
    for (const QString& text : messages.texts())
        std::cerr << text.toStdString() << '\n';
    return ran && messages.messages().empty() ? 0 : 1;
}
