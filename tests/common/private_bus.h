#pragma once

// A session bus of the test's own, and a stand-in for the desktop's
// notification service to put on it. Needs Qt6::DBus and MF_DBUS_DAEMON (the
// dbus-daemon program, "" when it is not installed).

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStringList>

namespace testenv {

// The daemon, ended with the object.
class PrivateBus {
public:
    PrivateBus() {
        daemon_.start(MF_DBUS_DAEMON, {"--session", "--print-address", "--nofork"});
        if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000))
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& Address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

// org.freedesktop.Notifications, answering each Notify with its number. It
// serves the calls while the test's event loop runs.
class FakeNotifications : public QDBusVirtualObject {
public:
    QStringList Calls; // "app name|summary|body" of each Notify

    // Registers the service on the bus at `address` as the connection `name`.
    bool Serve(const QString& address, const QString& name) {
        QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        return bus.isConnected() &&
               bus.registerVirtualObject("/org/freedesktop/Notifications", this) &&
               bus.registerService("org.freedesktop.Notifications");
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QList<QVariant> args = message.arguments();
        if (message.member() != "Notify" || args.size() != 8)
            return false;
        Calls << args[0].toString() + "|" + args[3].toString() + "|" + args[4].toString();
        connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(Calls.size()))));
        return true;
    }
};

} // namespace testenv
