#pragma once

// The save watcher's systemd user unit as the Automatic backups window sees
// it: whether it runs, and turning it on or off. systemctl is run in the
// background with a time limit, so a slow or missing systemd never holds the
// window up.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

namespace shell {

inline const QString WatchUnit = QStringLiteral("mfbackup-watch.service");

// The systemctl program run: "systemctl" from PATH unless replaced (an empty
// name puts it back). Tests put a stand-in here.
void SetSystemctl(const QString& program);
QString Systemctl();

class WatchService : public QObject {
    Q_OBJECT
public:
    enum class State {
        Checking,     // systemctl has not answered yet
        Unavailable,  // no systemctl, no user instance of systemd, or no answer
        NotInstalled, // systemd runs but knows no such unit
        Off,
        On,
        Failed, // enabled or started, but it stopped with an error
    };

    explicit WatchService(QObject* parent = nullptr);
    ~WatchService() override;

    State state() const { return state_; }
    // Why the state is Unavailable or NotInstalled, in systemctl's words where
    // it gave any; after a failed Toggle, what systemctl said about that.
    QString detail() const { return detail_; }
    // A Toggle running: its state is not known until it ended.
    bool busy() const { return busy_; }

    // Asks systemctl again (is-enabled, then is-active); Changed follows.
    void Refresh();
    // Enables and starts the unit, or disables and stops it when it is on;
    // then asks again.
    void Toggle();

    // How long each systemctl run may take before it is taken as no answer.
    void SetTimeout(int milliseconds) { timeout_ = milliseconds; }

signals:
    void Changed();

private:
    struct Reply {
        bool answered = false; // it started and ended within the time limit
        int exitCode = -1;
        QString out; // the first line of standard output
        QString err; // standard error, trimmed
    };
    // Runs systemctl --user ARGS... <unit> and calls `then` with its reply,
    // unless a newer Refresh or Toggle started meanwhile.
    // Asks is-enabled, then is-active, keeping a Toggle's error.
    void Query();
    void Run(const QStringList& args, std::function<void(const Reply&)> then);
    void Settle(State state, const QString& detail);
    void IsEnabledAnswered(const Reply& reply);
    void IsActiveAnswered(const Reply& reply);

    State state_ = State::Checking;
    QString detail_;
    QString toggleError_;
    bool busy_ = false;
    int timeout_ = 10000;
    unsigned generation_ = 0;
};

} // namespace shell
