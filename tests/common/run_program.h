#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <string>

namespace testenv {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end, its standard input closed at once; one that is
// still running after `timeoutMs` is killed and counts as failed (the real
// program would wait for a user).
Outcome RunProgram(const QString& program, const QStringList& args, const QString& workDir = {},
                   const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                   int timeoutMs = 30000);

} // namespace testenv
