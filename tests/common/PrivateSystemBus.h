// A dbus-daemon of the test's own stands for the system bus.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QProcess>
#include <QString>

namespace tovilo::test {

// Starts `daemon` (TOVILO_DBUS_DAEMON) and points the system bus at it; false when the daemon
// did not start or printed no address.
inline bool startPrivateSystemBus(QProcess& daemon)
{
    daemon.start(QStringLiteral(TOVILO_DBUS_DAEMON),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted())
        return false;
    QByteArray address;
    while (!address.contains('\n') && daemon.waitForReadyRead(30000))
        address += daemon.readAllStandardOutput();
    if (!address.contains('\n'))
        return false;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.trimmed());
    return QDBusConnection::systemBus().isConnected();
}

} // namespace tovilo::test
