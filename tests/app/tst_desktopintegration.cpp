// The queue's progress and the end-of-queue notice as a desktop sees them: the real D-Bus
// service on the private session bus the test runs under, a short queue through the stand-in
// encoder, and a stand-in desktop that records the dock's updates and the notices.
#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeServices.h"
#include "engine/ConversionEngine.h"
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

// The notification daemon (its one exported method) and a dock listening for launcher entries.
class DesktopSession : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<QVariantList> notices;
    QStringList apps;
    QList<QVariantMap> updates;

public Q_SLOTS:
    Q_SCRIPTABLE uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                             const QString& summary, const QString& body,
                             const QStringList& actions, const QVariantMap& hints,
                             int expireTimeout)
    {
        notices.append(
            {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        return static_cast<uint>(notices.size());
    }
    void Update(const QString& app, const QVariantMap& properties)
    {
        apps.append(app);
        updates.append(properties);
    }
};

class TestDesktopIntegration : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_previousCurrent;
    FakePrompt m_prompt;
    FakeShell m_shell;
    FakeDrives m_drives;
    NoMediaDevice m_noDevice;
    DesktopSession m_session;
    DBusDesktopService m_desktop;

private Q_SLOTS:
    void initTestCase()
    {
        // A connection of its own, so that the program's messages really travel over the bus.
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("desktop"));
        if (!bus.isConnected())
            QSKIP("no session bus: run under dbus-run-session");
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &m_session,
                                   QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        QVERIFY(
            bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                        QStringLiteral("Update"), &m_session, SLOT(Update(QString, QVariantMap))));

        QDir work(m_work.path());
        QVERIFY(work.mkpath(QStringLiteral("lib")) && work.mkpath(QStringLiteral("out")));
        QVERIFY(
            QFile::link(QStringLiteral(FAKE_ENCODER), work.filePath(QStringLiteral("lib/ffmpeg"))));
        m_previousCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));
        m_shell.documents = QFile::encodeName(m_work.path());
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
        m_session.notices.clear();
        m_session.apps.clear();
        m_session.updates.clear();
        TFormMain form(Services{m_prompt, m_shell, m_drives, m_noDevice, m_desktop});
        ThConvertInfoObjectList& jobs = form.engine().jobs();
        jobs.Settings.SaveDir = QFile::encodeName(m_work.filePath(QStringLiteral("out/")));
        jobs.Settings.OpenDir = false;
        if (windowActive) {
            form.show();
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
        jobs.AddSource(QFile::encodeName(m_work.filePath(QStringLiteral("good.avi"))));
        jobs.AddSource(QFile::encodeName(m_work.filePath(QStringLiteral("fail.avi"))));

        auto* convert = control<TPNGButton>(form, "PngBtnConvertMovie");
        QTest::mouseClick(convert, Qt::LeftButton);
        // The last update hides the entry. A notice goes out before it over the same
        // connection, so it has arrived by then.
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_session.updates.isEmpty() &&
                !m_session.updates.last().value(QStringLiteral("progress-visible")).toBool(),
            20000);
        QVERIFY(convert->isEnabled());
        QCOMPARE(m_prompt.informations.takeLast(), QStringLiteral("変換が完了しました"));

        QCOMPARE(m_session.apps.count(QStringLiteral("application://tovilo.desktop")),
                 m_session.apps.size());
        QCOMPARE(m_session.updates.takeLast().value(QStringLiteral("count-visible")),
                 QVariant(false));
        // Rising within the first file (its length from the encoder), then one job left.
        QList<double> progress;
        QList<qint64> counts;
        for (const QVariantMap& update : std::as_const(m_session.updates)) {
            QCOMPARE(update.value(QStringLiteral("progress-visible")), QVariant(true));
            QCOMPARE(update.value(QStringLiteral("count-visible")), QVariant(true));
            progress << update.value(QStringLiteral("progress")).toDouble();
            counts << update.value(QStringLiteral("count")).toLongLong();
        }
        QVERIFY2(progress.size() >= 4 && std::is_sorted(progress.begin(), progress.end()) &&
                     std::adjacent_find(progress.begin(), progress.end()) == progress.end(),
                 qPrintable(QString::number(progress.size())));
        QCOMPARE(progress.last(), 0.5);
        QCOMPARE(counts.first(), 2);
        QCOMPARE(counts.last(), 1);

        if (windowActive) {
            QVERIFY(m_session.notices.isEmpty());
        } else {
            QCOMPARE(m_session.notices.size(), 1);
            const QVariantList& notice = m_session.notices.first();
            QCOMPARE(notice.at(0), QVariant(QStringLiteral("Tovilo")));
            QCOMPARE(notice.at(2), QVariant(QStringLiteral("tovilo")));
            QCOMPARE(notice.at(3), QVariant(QStringLiteral("変換が完了しました")));
            QCOMPARE(notice.at(4), QVariant(QStringLiteral("変換完了 1件、変換失敗 1件")));
            QCOMPARE(notice.at(7), QVariant(-1));
        }
    }
};

QTEST_MAIN(TestDesktopIntegration)
#include "tst_desktopintegration.moc"
