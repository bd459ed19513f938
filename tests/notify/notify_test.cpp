// mfbackup-notify against a bus daemon of the test's own, with a stand-in for
// the desktop's notification service on it.

#include "common/private_bus.h"
#include "common/test_env.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

using testenv::FakeNotifications;
using testenv::PrivateBus;

struct Sent {
    int ExitCode = -1;
    QString Err;
    qint64 Ms = 0;
};

// Runs the program in `env`, serving the bus meanwhile.
Sent Notify(const QProcessEnvironment& env, const QString& summary, const QString& body) {
    QProcess p;
    p.setProcessEnvironment(env);
    QSignalSpy finished(&p, &QProcess::finished);
    QElapsedTimer timer;
    timer.start();
    p.start(MF_NOTIFY, {summary, body});
    finished.wait(20000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardError()), timer.elapsed()};
}

enum class Place { ServiceOnBus, BusWithoutService, NoBus };

struct NotifyCase {
    const char* Name;
    Place Where;
};

void PrintTo(const NotifyCase& c, std::ostream* os) {
    *os << c.Name;
}

class NotifyProgram : public ::testing::TestWithParam<NotifyCase> {};

const NotifyCase kCases[] = {
    {"ServiceOnTheBusGetsTheCall", Place::ServiceOnBus},
    {"BusWithoutAServiceFails", Place::BusWithoutService},
    {"NoSessionBusFailsAtOnce", Place::NoBus},
};

} // namespace

TEST_P(NotifyProgram, ShowsTheNotificationOrSaysWhyNot) {
    if (std::string(MF_DBUS_DAEMON).empty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    const Place where = GetParam().Where;
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    FakeNotifications fake;
    if (where == Place::ServiceOnBus) {
        ASSERT_TRUE(fake.Serve(bus.Address(), "fake"));
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (where == Place::NoBus) {
        // Nor the usual socket in the runtime folder to fall back on.
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(testenv::Scratch()));
    } else {
        env.insert("DBUS_SESSION_BUS_ADDRESS", bus.Address());
    }
    const QString summary = "Moonforge saves backed up: 3 files into MFB1A2B";
    const QString body = "wrap -- Moonforge.exe • Spielstände";
    const Sent sent = Notify(env, summary, body);

    const bool shown = where == Place::ServiceOnBus;
    EXPECT_EQ(sent.ExitCode, shown ? 0 : 1) << sent.Err.toStdString();
    EXPECT_EQ(sent.Err.count('\n'), shown ? 0 : 1) << sent.Err.toStdString();
    EXPECT_EQ(fake.Calls,
              shown ? QStringList{"Moonforge Backup Tool|" + summary + "|" + body} : QStringList{});
    EXPECT_LT(sent.Ms, 5000);
    QDBusConnection::disconnectFromBus("fake");
}

INSTANTIATE_TEST_SUITE_P(Cases, NotifyProgram, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });
