#include "common/PrivateSystemBus.h"
#include "platform/LogindInhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace tovilo;

namespace {

const QString Logind = QStringLiteral("org.freedesktop.login1");

QDBusMessage call(const QString& interface, const QString& method, const QVariantList& args = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        Logind, QStringLiteral("/org/freedesktop/login1"), interface, method);
    message.setArguments(args);
    return QDBusConnection::systemBus().call(message);
}

// The inhibitors the stand-in holds, as "what:who:why:mode".
QStringList inhibitors()
{
    const QDBusArgument list =
        call(QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors"))
            .arguments()
            .value(0)
            .value<QDBusArgument>();
    QStringList result;
    list.beginArray();
    while (!list.atEnd()) {
        QString what, who, why, mode;
        uint user = 0, pid = 0;
        list.beginStructure();
        list >> what >> who >> why >> mode >> user >> pid;
        list.endStructure();
        result << QStringList{what, who, why, mode}.join(QLatin1Char(':'));
    }
    list.endArray();
    return result;
}

} // namespace

// The inhibitor against python-dbusmock's logind on a private bus that stands for the system
// bus: without logind nothing happens; with it the inhibitor is taken and given back, and a
// sleep that goes ahead is told.
class TestLogindInhibitor : public QObject
{
    Q_OBJECT

    QProcess m_daemon;
    QProcess m_logind;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(tovilo::test::startPrivateSystemBus(m_daemon), "no private system bus");
    }

    void cleanupTestCase()
    {
        for (QProcess* process : {&m_logind, &m_daemon}) {
            process->terminate();
            process->waitForFinished();
        }
    }

    void inhibitAndSleep()
    {
        LogindInhibitor inhibitor;
        QSignalSpy sleeping(&inhibitor, &SleepInhibitor::sleeping);
        // No logind yet: asked and refused, and the work goes on as without.
        QVERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(Logind));
        inhibitor.setHeld(true);
        QVERIFY(inhibitor.isAsking());
        QTRY_VERIFY(!inhibitor.isAsking());
        QVERIFY(!inhibitor.holdsDescriptor());
        inhibitor.setHeld(false);

        QVERIFY(tovilo::test::startMock(m_logind, QStringLiteral("logind")));
        QTRY_VERIFY_WITH_TIMEOUT(
            QDBusConnection::systemBus().interface()->isServiceRegistered(Logind), 30000);

        for (int round = 0; round < 2; ++round) {
            inhibitor.setHeld(true);
            inhibitor.setHeld(true); // once is enough
            QTRY_VERIFY(inhibitor.holdsDescriptor());
            QCOMPARE(inhibitors(),
                     QStringList{QStringLiteral("sleep:idle:Tovilo:動画を変換しています:block")});
            inhibitor.setHeld(false);
            QVERIFY(!inhibitor.holdsDescriptor());
            QTRY_COMPARE(inhibitors(), QStringList());
        }
        // Let go before logind answered: nothing is kept.
        inhibitor.setHeld(true);
        inhibitor.setHeld(false);
        QTRY_COMPARE(inhibitors(), QStringList());
        QVERIFY(!inhibitor.holdsDescriptor());

        for (bool before : {true, false}) {
            const QDBusMessage emitted = call(
                QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("EmitSignal"),
                {QStringLiteral("org.freedesktop.login1.Manager"),
                 QStringLiteral("PrepareForSleep"), QStringLiteral("b"), QVariantList{before}});
            QVERIFY2(emitted.type() == QDBusMessage::ReplyMessage,
                     qPrintable(emitted.errorMessage()));
            QTRY_COMPARE(sleeping.size(), before ? 1 : 2);
            QCOMPARE(sleeping.last().constFirst().toBool(), before);
        }
    }
};

QTEST_MAIN(TestLogindInhibitor)
#include "tst_logindinhibitor.moc"
