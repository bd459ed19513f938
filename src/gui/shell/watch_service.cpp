#include "gui/shell/watch_service.h"

#include <QProcess>
#include <QTimer>

#include <memory>

namespace shell {
namespace {

QString& SystemctlName() {
    static QString name;
    return name;
}

} // namespace

void SetSystemctl(const QString& program) {
    SystemctlName() = program;
}

QString Systemctl() {
    return SystemctlName().isEmpty() ? QStringLiteral("systemctl") : SystemctlName();
}

WatchService::WatchService(QObject* parent) : QObject(parent) {}

WatchService::~WatchService() {
    // A systemctl still running when the window goes is of no more interest.
    for (QProcess* process : findChildren<QProcess*>()) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
    }
}

void WatchService::Refresh() {
    toggleError_.clear();
    Query();
}

void WatchService::Query() {
    ++generation_;
    busy_ = false;
    state_ = State::Checking;
    detail_.clear();
    emit Changed();
    Run({"is-enabled"}, [this](const Reply& r) { IsEnabledAnswered(r); });
}

void WatchService::Toggle() {
    if (busy_ || !(state_ == State::On || state_ == State::Off || state_ == State::Failed))
        return;
    const bool turningOff = state_ == State::On;
    ++generation_;
    busy_ = true;
    toggleError_.clear();
    emit Changed();
    Run({turningOff ? "disable" : "enable", "--now"}, [this](const Reply& r) {
        // What it is now decides the state; what went wrong stays beside it.
        toggleError_ = !r.answered       ? r.err
                       : r.exitCode != 0 ? (r.err.isEmpty() ? r.out : r.err)
                                         : QString();
        Query();
    });
}

void WatchService::Run(const QStringList& args, std::function<void(const Reply&)> then) {
    auto* process = new QProcess(this);
    process->setProgram(Systemctl());
    process->setArguments(QStringList{"--user"} + args + QStringList{WatchUnit});
    process->setStandardInputFile(QProcess::nullDevice());
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);

    // Exactly one of: it ended, it could not start, the time ran out. A killed
    // process ends later; it is deleted then, its reply long given.
    const unsigned generation = generation_;
    auto answered = std::make_shared<bool>(false);
    auto answer = [this, limit, then, generation, answered](Reply reply) {
        if (*answered)
            return;
        *answered = true;
        limit->stop();
        if (generation == generation_)
            then(reply);
    };
    connect(process, &QProcess::finished, this, [process, answer](int code, QProcess::ExitStatus) {
        process->deleteLater();
        Reply reply;
        reply.answered = true;
        reply.exitCode = code;
        reply.out = QString::fromLocal8Bit(process->readAllStandardOutput()).section('\n', 0, 0);
        reply.out = reply.out.trimmed();
        reply.err = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
        answer(reply);
    });
    connect(process, &QProcess::errorOccurred, this, [process, answer](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        process->deleteLater();
        Reply reply;
        reply.err =
            QString("%1 could not be started: %2").arg(process->program(), process->errorString());
        answer(reply);
    });
    connect(limit, &QTimer::timeout, this, [this, process, answer] {
        Reply reply;
        reply.err = QString("%1 did not answer within %2 s")
                        .arg(process->program())
                        .arg((timeout_ + 999) / 1000);
        answer(reply);
        process->kill();
    });
    limit->start(timeout_);
    process->start();
}

void WatchService::Settle(State state, const QString& detail) {
    state_ = state;
    detail_ = detail;
    emit Changed();
}

void WatchService::IsEnabledAnswered(const Reply& r) {
    // A unit systemd does not know: newer versions say "not-found", older
    // ones fail with the file's error.
    if (r.answered && (r.out == "not-found" || r.err.contains("No such file or directory")))
        return Settle(State::NotInstalled, r.err);
    // Any unit file state (enabled, disabled, static, masked...) means it is
    // installed; no word at all means systemctl could not ask (no user bus).
    if (!r.answered || r.out.isEmpty())
        return Settle(State::Unavailable, r.err);
    Run({"is-active"}, [this](const Reply& reply) { IsActiveAnswered(reply); });
}

void WatchService::IsActiveAnswered(const Reply& r) {
    if (!r.answered || r.out.isEmpty())
        return Settle(State::Unavailable, r.err);
    State state = State::Off;
    if (r.out == "active" || r.out == "activating" || r.out == "reloading" || r.out == "refreshing")
        state = State::On;
    else if (r.out == "failed")
        state = State::Failed;
    Settle(state, toggleError_);
}

} // namespace shell
