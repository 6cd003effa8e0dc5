#include "platform/InstanceLock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovilo;

class TestInstanceLock : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QByteArray runtimeDir() const
    {
        return QFile::encodeName(m_dir.filePath(QStringLiteral("run")));
    }

    // A second process that takes the lock, says so through a pipe and waits to be killed.
    pid_t startHolder()
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            const char answer =
                acquireInstanceLock("TOVILO_RUNNING", runtimeDir()) == InstanceLockResult::Acquired
                    ? 'y'
                    : 'n';
            (void)::write(ready[1], &answer, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char answer = 0;
        const bool ok = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
        return ok ? pid : -1;
    }

private Q_SLOTS:
    void secondProcessIsRefusedUntilTheFirstDies()
    {
        const pid_t holder = startHolder();
        QVERIFY(holder > 0);
        // The folder is private to the user.
        struct stat info
        {
        };
        QVERIFY(::stat(runtimeDir().constData(), &info) == 0);
        QCOMPARE(info.st_mode & 0777, 0700u);

        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", runtimeDir()),
                 InstanceLockResult::HeldElsewhere);
        // Another guard name is independent.
        const pid_t other = ::fork();
        if (other == 0)
            ::_exit(acquireInstanceLock("OTHER", runtimeDir()) == InstanceLockResult::Acquired ? 0
                                                                                               : 1);
        int status = 0;
        QCOMPARE(::waitpid(other, &status, 0), other);
        QCOMPARE(WEXITSTATUS(status), 0);

        // A killed instance leaves its lock behind for the next start.
        ::kill(holder, SIGKILL);
        QCOMPARE(::waitpid(holder, &status, 0), holder);
        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", runtimeDir()), InstanceLockResult::Acquired);
    }

    void unusableFolderRunsUnguarded()
    {
        // A folder others may write to could be a trap: the program runs without the guard.
        const QByteArray open = QFile::encodeName(m_dir.filePath(QStringLiteral("open")));
        QVERIFY(::mkdir(open.constData(), 0777) == 0);
        QVERIFY(::chmod(open.constData(), 0777) == 0);
        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", open), InstanceLockResult::Unavailable);

        // A lock file that is a symbolic link is not followed.
        const QByteArray linked = QFile::encodeName(m_dir.filePath(QStringLiteral("linked")));
        QVERIFY(::mkdir(linked.constData(), 0700) == 0);
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("elsewhere")),
                            QString::fromUtf8(linked + "/TOVILO_RUNNING")));
        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", linked), InstanceLockResult::Unavailable);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("elsewhere"))));
    }
};

QTEST_APPLESS_MAIN(TestInstanceLock)
#include "tst_instancelock.moc"
