#include "run_program.h"

#include <QProcess>

namespace testenv {

Outcome RunProgram(const QString& program, const QStringList& args, const QString& workDir,
                   const QProcessEnvironment& env, int timeoutMs) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    p.closeWriteChannel();
    Outcome r;
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit) {
        p.kill();
        p.waitForFinished();
        r.err = "did not run to its end: " + p.errorString().toStdString();
        return r;
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput().toStdString();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

} // namespace testenv
