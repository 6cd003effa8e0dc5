#include "platform/DesktopIntegration.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLibraryInfo>
#include <QTranslator>
#include <QVariantMap>

#include <algorithm>

namespace tovilo {

namespace {

const QString LauncherEntryPath = QStringLiteral("/io/github/tovilo/Tovilo");

void sendLauncherUpdate(const QString& desktopId, const QVariantMap& properties)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(
        LauncherEntryPath, QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"));
    signal << QStringLiteral("application://%1.desktop").arg(desktopId) << properties;
    bus.send(signal);
}

} // namespace

DesktopService& noDesktop()
{
    class NoDesktop : public DesktopService
    {
    public:
        void showProgress(double, qint64) override {}
        void clearProgress() override {}
        void notify(const QString&, const QString&) override {}
    };
    static NoDesktop desktop;
    return desktop;
}

DBusDesktopService::DBusDesktopService(QString desktopId, QString iconName)
    : m_desktopId(std::move(desktopId)), m_iconName(std::move(iconName))
{
}

void DBusDesktopService::showProgress(double fraction, qint64 jobsLeft)
{
    sendLauncherUpdate(m_desktopId, {{QStringLiteral("progress"), std::clamp(fraction, 0.0, 1.0)},
                                     {QStringLiteral("progress-visible"), true},
                                     {QStringLiteral("count"), jobsLeft},
                                     {QStringLiteral("count-visible"), true}});
}

void DBusDesktopService::clearProgress()
{
    sendLauncherUpdate(m_desktopId, {{QStringLiteral("progress"), 0.0},
                                     {QStringLiteral("progress-visible"), false},
                                     {QStringLiteral("count"), static_cast<qint64>(0)},
                                     {QStringLiteral("count-visible"), false}});
}

void DBusDesktopService::notify(const QString& summary, const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // A notification daemon that is slow to start must not hold up the window: the reply,
    // the notice's id, is not needed.
    call << QStringLiteral("Tovilo") << 0u << m_iconName << summary << body << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), m_desktopId}} << -1;
    bus.send(call);
}

bool installQtTranslations(QCoreApplication& app)
{
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_ja"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace tovilo
