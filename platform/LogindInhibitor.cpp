#include "platform/LogindInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tovilo {

namespace {

const QString Service = QStringLiteral("org.freedesktop.login1");
const QString Path = QStringLiteral("/org/freedesktop/login1");
const QString Manager = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

SleepInhibitor& noSleepInhibitor()
{
    class NoInhibitor : public SleepInhibitor
    {
    public:
        void setHeld(bool) override {}
        bool isHeld() const override { return false; }
    };
    static NoInhibitor inhibitor;
    return inhibitor;
}

LogindInhibitor::LogindInhibitor(QObject* parent)
    : SleepInhibitor(parent), m_bus(QDBusConnection::systemBus())
{
    if (m_bus.isConnected())
        m_bus.connect(Service, Path, Manager, QStringLiteral("PrepareForSleep"), this,
                      SLOT(prepareForSleep(bool)));
}

LogindInhibitor::~LogindInhibitor()
{
    // A late answer must not reach a destroyed object; its descriptor closes with the reply.
    delete m_pending;
}

void LogindInhibitor::setHeld(bool held)
{
    if (held == m_wanted)
        return;
    m_wanted = held;
    if (!held) {
        // Closing our copy of the descriptor is what lets the machine sleep again.
        m_descriptor = QDBusUnixFileDescriptor();
        return;
    }
    if (m_pending != nullptr || m_descriptor.isValid() || !m_bus.isConnected())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Manager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Tovilo")
         << QStringLiteral("動画を変換しています") << QStringLiteral("block");
    m_pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(m_pending, &QDBusPendingCallWatcher::finished, this, &LogindInhibitor::answered);
}

void LogindInhibitor::answered(QDBusPendingCallWatcher* call)
{
    m_pending = nullptr;
    call->deleteLater();
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    // No logind, or no right to inhibit: the work goes on as it would without.
    if (reply.isError())
        return;
    // Let go while the call was under way: the reply's descriptor closes with the reply.
    if (m_wanted)
        m_descriptor = reply.value();
}

void LogindInhibitor::prepareForSleep(bool beforeSleep)
{
    emit sleeping(beforeSleep);
}

} // namespace tovilo
