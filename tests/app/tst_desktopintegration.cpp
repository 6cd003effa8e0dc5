// The queue's progress and the end-of-queue notice as a desktop sees them: the real D-Bus
// service on the private session bus the test runs under, a listener for the launcher entry
// signal and a stand-in notification daemon, a short queue through the stand-in encoder.
#include "../common/FakeServices.h"
#include "app/UnitMain.h"
#include "platform/DesktopIntegration.h"
#include "widgets/pngextra.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

using namespace tovilo;
using namespace tovilo::test;

namespace {

// Stands in for the desktop's notification daemon and records each notice.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<QVariantList> calls;

public Q_SLOTS:
    Q_SCRIPTABLE uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                             const QString& summary, const QString& body,
                             const QStringList& actions, const QVariantMap& hints,
                             int expireTimeout)
    {
        calls.append({appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        return static_cast<uint>(calls.size());
    }
};

// Records every launcher entry update on the bus, as a dock would receive them.
class LauncherListener : public QObject
{
    Q_OBJECT

public:
    QStringList apps;
    QList<QVariantMap> updates;

    bool cleared() const
    {
        return !updates.isEmpty() &&
               !updates.last().value(QStringLiteral("progress-visible")).toBool();
    }

public Q_SLOTS:
    void Update(const QString& app, const QVariantMap& properties)
    {
        apps.append(app);
        updates.append(properties);
    }
};

} // namespace

class TestDesktopIntegration : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_previousCurrent;
    FakePrompt m_prompt;
    FakeShell m_shell;
    FakeDrives m_drives;
    NoMediaDevice m_noDevice;
    FakeNotifications m_notifications;
    LauncherListener m_launcher;
    DBusDesktopService m_desktop;

private Q_SLOTS:
    void initTestCase()
    {
        // Its own connection, so that the program's messages really travel over the bus.
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("listener"));
        if (!bus.isConnected())
            QSKIP("no session bus: run under dbus-run-session");
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                   &m_notifications, QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        QVERIFY(
            bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                        QStringLiteral("Update"), &m_launcher, SLOT(Update(QString, QVariantMap))));

        QDir work(m_work.path());
        QVERIFY(work.mkpath(QStringLiteral("lib")) && work.mkpath(QStringLiteral("out")) &&
                work.mkpath(QStringLiteral("Documents")));
        QVERIFY(
            QFile::link(QStringLiteral(FAKE_ENCODER), work.filePath(QStringLiteral("lib/ffmpeg"))));
        m_previousCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));
        m_shell.documents = QFile::encodeName(work.filePath(QStringLiteral("Documents")));
    }

    void cleanupTestCase() { QDir::setCurrent(m_previousCurrent); }

    void progressAndNotice_data()
    {
        QTest::addColumn<bool>("windowActive");
        QTest::newRow("user elsewhere") << false;
        QTest::newRow("window active") << true;
    }

    void progressAndNotice()
    {
        QFETCH(bool, windowActive);
        m_launcher.apps.clear();
        m_launcher.updates.clear();
        m_notifications.calls.clear();
        TFormMain form(Services{m_prompt, m_shell, m_drives, m_noDevice, m_desktop});
        form.JobList->SaveDir = QFile::encodeName(m_work.filePath(QStringLiteral("out/")));
        form.JobList->OpenDir = false;
        if (windowActive) {
            form.show();
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
        form.AddSourceFile(QFile::encodeName(m_work.filePath(QStringLiteral("good.avi"))));
        form.AddSourceFile(QFile::encodeName(m_work.filePath(QStringLiteral("fail.avi"))));
        form.RefreshList();

        QTest::mouseClick(form.PngBtnConvertMovie, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(form.PngBtnConvertMovie->isEnabled(), 20000);
        // The last update clears the entry; a notice is sent before it, so it is here by then.
        QTRY_VERIFY_WITH_TIMEOUT(m_launcher.cleared(), 20000);

        for (const QString& app : std::as_const(m_launcher.apps))
            QCOMPARE(app, QStringLiteral("application://tovilo.desktop"));
        const QVariantMap last = m_launcher.updates.takeLast();
        QCOMPARE(last.value(QStringLiteral("count-visible")), QVariant(false));
        double previousProgress = -1;
        qint64 previousCount = 3;
        for (const QVariantMap& update : std::as_const(m_launcher.updates)) {
            QCOMPARE(update.value(QStringLiteral("progress-visible")), QVariant(true));
            QCOMPARE(update.value(QStringLiteral("count-visible")), QVariant(true));
            const double progress = update.value(QStringLiteral("progress")).toDouble();
            const qint64 count = update.value(QStringLiteral("count")).toLongLong();
            QVERIFY2(progress > previousProgress && progress <= 1.0,
                     qPrintable(QString::number(progress)));
            QVERIFY(count <= previousCount);
            previousProgress = progress;
            previousCount = count;
        }
        // Within the first file's progress, and down to the one job left.
        QVERIFY(m_launcher.updates.size() >= 4);
        QCOMPARE(m_launcher.updates.first().value(QStringLiteral("count")).toLongLong(), 2);
        QCOMPARE(previousCount, 1);
        QCOMPARE(previousProgress, 0.5);

        if (windowActive) {
            QVERIFY(m_notifications.calls.isEmpty());
        } else {
            QCOMPARE(m_notifications.calls.size(), 1);
            const QVariantList& call = m_notifications.calls.first();
            QCOMPARE(call.at(0), QVariant(QStringLiteral("Tovilo")));
            QCOMPARE(call.at(2), QVariant(QStringLiteral("tovilo")));
            QCOMPARE(call.at(3), QVariant(QStringLiteral("変換が完了しました")));
            QCOMPARE(call.at(4), QVariant(QStringLiteral("変換完了 1件、変換失敗 1件")));
            QCOMPARE(call.at(7), QVariant(-1));
        }
        // The described end of the queue is unchanged.
        QCOMPARE(m_prompt.informations.takeLast(), QStringLiteral("変換が完了しました"));
    }
};

QTEST_MAIN(TestDesktopIntegration)
#include "tst_desktopintegration.moc"
