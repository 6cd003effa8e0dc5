// A dbus-daemon of the test's own stands for the system bus, with stand-ins on it.
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

// Starts python-dbusmock (TOVILO_SYSTEM_PYTHON) with `mockTemplate`, a template's name or file,
// on the bus the system bus points at.
inline bool startMock(QProcess& mock, const QString& mockTemplate)
{
    mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mock.setStandardOutputFile(QProcess::nullDevice());
    mock.start(
        QStringLiteral(TOVILO_SYSTEM_PYTHON),
        {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("-t"), mockTemplate});
    return mock.waitForStarted();
}

} // namespace tovilo::test
