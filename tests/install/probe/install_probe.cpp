// Stands in for the installed program in the install test. Started through
// the installed bin/ link, it runs the archiver the way the program does
// (RunArchiver with the bare name), so it finds pkzip.exe only when the
// search of the running program's own folder works for the installed layout.
//
//   install_probe                 prints where the archiver is found ("" if not)
//   install_probe <dir> <params>  also runs RunArchiver(ArchiverName, params, dir)
//
// What the program would say of a failure goes to standard error.

#include "launcher/archiver_call.h"
#include "platform/process.h"

#include <iostream>

int main(int argc, char** argv) {
    std::cout << platform::SearchProgram(ArchiverName) << std::endl;
    if (argc < 3)
        return 0;

    std::string why;
    if (RunArchiver(ArchiverName, argv[2], argv[1], why))
        return 0;
    std::cerr << why << '\n';
    return 1;
}
