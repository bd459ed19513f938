// mfbackup-notify SUMMARY BODY
//
// Shows a desktop notification through the freedesktop Notifications service
// on the session bus. Exit code 0 when the service took it; 1, with one line
// on standard error, when there is no session bus or the call failed; 2 for
// wrong arguments.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

int Fail(const QString& why) {
    std::fprintf(stderr, "mfbackup-notify: %s\n", qUtf8Printable(why));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mfbackup-notify SUMMARY BODY\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Fail("no session bus: " + bus.lastError().message());

    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    QVariantMap hints;
    hints.insert("desktop-entry", QString("mfbackup"));
    call << QString("Moonforge Backup Tool") << 0u << QString("mfbackup")
         << QString::fromLocal8Bit(argv[1]) << QString::fromLocal8Bit(argv[2]) << QStringList()
         << hints << -1;
    // A notification daemon started on demand may take a moment; the wrapper
    // waiting for this is past the game already.
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return Fail("the notification was not shown: " + reply.errorMessage());
    return 0;
}
