#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
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

    QByteArray path(const QString& name) const { return QFile::encodeName(m_dir.filePath(name)); }

    // A second process that takes the lock, says so through a pipe and waits to be killed.
    pid_t startHolder() { return startHolder({runtimeDir()}); }
    pid_t startHolder(const QList<QByteArray>& folders)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            const char answer =
                acquireInstanceLock("TOVILO_RUNNING", folders) == InstanceLockResult::Acquired
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

    // A first choice that is no safe place must not switch the guard off: the lock moves to
    // the next folder, where a second instance finds it.
    void fallsBackToAPrivateFolder_data()
    {
        QTest::addColumn<QString>("setup");
        for (const char* setup : {"not writable", "open to others", "someone else's", "a link",
                                  "a plain file", "lock name is a folder", "lock file is a link"})
            QTest::newRow(setup) << QString::fromLatin1(setup);
    }

    void fallsBackToAPrivateFolder()
    {
        QFETCH(QString, setup);
        static int round = 0;
        const QString tag = QString::number(++round);
        const QByteArray first = path(QStringLiteral("first-") + tag);
        const QByteArray fallback = path(QStringLiteral("fallback-") + tag);
        const QByteArray target = path(QStringLiteral("target-") + tag);
        QVERIFY(::mkdir(target.constData(), 0700) == 0);
        if (setup == QLatin1String("a link") || setup == QLatin1String("a plain file")) {
            QVERIFY(setup == QLatin1String("a link")
                        ? ::symlink(target.constData(), first.constData()) == 0
                        : QFile(QString::fromUtf8(first)).open(QIODevice::WriteOnly));
        } else {
            QVERIFY(::mkdir(first.constData(), 0700) == 0);
        }
        if (setup == QLatin1String("not writable")) {
            if (::geteuid() == 0)
                QSKIP("root writes to any folder");
            QVERIFY(::chmod(first.constData(), 0500) == 0);
        } else if (setup == QLatin1String("open to others")) {
            QVERIFY(::chmod(first.constData(), 0777) == 0);
        } else if (setup == QLatin1String("someone else's")) {
            if (::geteuid() != 0)
                QSKIP("only root can give a folder away");
            QVERIFY(::chown(first.constData(), 65534, 65534) == 0);
        } else if (setup == QLatin1String("lock name is a folder")) {
            QVERIFY(::mkdir((first + "/TOVILO_RUNNING").constData(), 0700) == 0);
        } else if (setup == QLatin1String("lock file is a link")) {
            QVERIFY(::symlink((target + "/planted").constData(),
                              (first + "/TOVILO_RUNNING").constData()) == 0);
        }

        const pid_t holder = startHolder({first, fallback});
        QVERIFY(holder > 0);
        QVERIFY(QFile::exists(QString::fromUtf8(fallback + "/TOVILO_RUNNING")));
        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", {first, fallback}),
                 InstanceLockResult::HeldElsewhere);
        ::kill(holder, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(holder, &status, 0), holder);
        // Nothing was written through a link, and with no safe place at all the program runs.
        QVERIFY(QDir(QString::fromUtf8(target))
                    .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System));
        QCOMPARE(acquireInstanceLock("TOVILO_RUNNING", {first}), InstanceLockResult::Unavailable);
    }

    // The lock beside the kept queue holds whatever the environment of either instance, in a
    // data folder others may read but not change; one others may change is refused.
    void queueLockGoesWithTheQueue()
    {
        const QByteArray data = path(QStringLiteral("Documents/Tovilo"));
        QVERIFY(QDir().mkpath(QString::fromUtf8(data)) && ::chmod(data.constData(), 0755) == 0);
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t holder = ::fork();
        if (holder == 0) {
            ::unsetenv("XDG_RUNTIME_DIR");
            const char answer =
                acquireQueueLock(data + '/') == InstanceLockResult::Acquired ? 'y' : 'n';
            (void)::write(ready[1], &answer, 1);
            ::pause();
            ::_exit(0);
        }
        char answer = 0;
        QVERIFY(::read(ready[0], &answer, 1) == 1 && answer == 'y');
        ::close(ready[0]);
        ::close(ready[1]);
        QCOMPARE(acquireQueueLock(data), InstanceLockResult::HeldElsewhere);
        ::kill(holder, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(holder, &status, 0), holder);
        QVERIFY(::chmod(data.constData(), 0777) == 0);
        QCOMPARE(acquireQueueLock(data), InstanceLockResult::Unavailable);
        QCOMPARE(errno, EACCES);
    }

    void defaultFoldersStartWithTheSession()
    {
        qputenv("XDG_RUNTIME_DIR", runtimeDir());
        qputenv("XDG_CACHE_HOME", path(QStringLiteral("cache")));
        const QList<QByteArray> folders = instanceLockFolders();
        QCOMPARE(folders.size(), 3);
        QCOMPARE(folders.first(), runtimeDir());
        QCOMPARE(folders.last(), path(QStringLiteral("cache/tovilo")));
        qunsetenv("XDG_RUNTIME_DIR");
        QCOMPARE(instanceLockFolders().first(), "/tmp/tovilo-" + QByteArray::number(::getuid()));
    }
};

QTEST_APPLESS_MAIN(TestInstanceLock)
#include "tst_instancelock.moc"
