#include "platform/Process.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

using namespace tovilo;

Q_DECLARE_METATYPE(tovilo::CommandOutput)

namespace {

// True once the process is gone or only waits to be collected by its new parent.
bool ended(const QByteArray& pid)
{
    QFile stat(QStringLiteral("/proc/") + QString::fromLatin1(pid) + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

} // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runsACommand_data()
    {
        QTest::addColumn<QList<QByteArray>>("argv");
        QTest::addColumn<CommandOutput>("mode");
        QTest::addColumn<int>("startError");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");

        const QList<QByteArray> both = {"sh", "-c", "echo out; echo err >&2; exit 3"};
        QTest::newRow("output only")
            << both << CommandOutput::Collect << 0 << 3 << QByteArray("out\n");
        QTest::newRow("with errors")
            << both << CommandOutput::CollectWithError << 0 << 3 << QByteArray("out\nerr\n");
        QTest::newRow("discarded") << both << CommandOutput::Discard << 0 << 3 << QByteArray();
        // More than a pipe holds: the child must not block on a full pipe.
        QTest::newRow("large output")
            << QList<QByteArray>{"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x"}
            << CommandOutput::Collect << 0 << 0 << QByteArray(300000, 'x');
        QTest::newRow("killed by a signal") << QList<QByteArray>{"sh", "-c", "kill -9 $$"}
                                            << CommandOutput::Collect << 0 << 137 << QByteArray();
        QTest::newRow("no such program")
            << QList<QByteArray>{"/nonexistent/program"} << CommandOutput::Collect << ENOENT
            << int(stillActiveExitCode) << QByteArray();
        QTest::newRow("empty") << QList<QByteArray>{} << CommandOutput::Collect << ENOENT
                               << int(stillActiveExitCode) << QByteArray();
    }

    void runsACommand()
    {
        QFETCH(QList<QByteArray>, argv);
        QFETCH(CommandOutput, mode);
        QFETCH(int, startError);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);

        const CommandResult result = runCommand(argv, 60000, mode);
        QCOMPARE(result.startError, startError);
        QVERIFY(!result.timedOut);
        QCOMPARE(int(result.exitCode), exitCode);
        QCOMPARE(result.output, output);
    }

    // At the limit the child and what it started are killed; the output so far is kept.
    void killsTheGroupAtTheLimit_data()
    {
        QTest::addColumn<CommandOutput>("mode");
        QTest::newRow("collected") << CommandOutput::Collect;
        QTest::newRow("discarded") << CommandOutput::Discard;
    }

    void killsTheGroupAtTheLimit()
    {
        QFETCH(CommandOutput, mode);
        const QByteArray pidFile = QByteArray(TOVILO_BINARY_DIR) + "/tst_process.pid";
        const CommandResult result = runCommand(
            {"sh", "-c", "sleep 600 & echo $! > \"$0\"; echo started; wait", pidFile}, 2000, mode);
        QVERIFY(result.timedOut);
        QCOMPARE(result.output, mode == CommandOutput::Collect ? QByteArray("started\n") : "");
        QFile file(QString::fromUtf8(pidFile));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray grandchild = file.readAll().trimmed();
        file.remove();
        QVERIFY(!grandchild.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(ended(grandchild), 20000);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
