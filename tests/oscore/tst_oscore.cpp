#include "oscore/Child.h"
#include "oscore/FileInfo.h"
#include "oscore/OwnFile.h"
#include "oscore/SignalPipe.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace tovilo;
using namespace Qt::StringLiterals;

namespace {

using Argv = std::vector<std::string>;

// Runs argv to its end and returns what it printed on standard output.
std::string outputOf(const Argv& argv, const ChildOptions& child = {}, int* exitCode = nullptr)
{
    std::string text;
    RunOptions options;
    options.child = child;
    options.onOutput = [&](std::string_view piece) {
        text.append(piece);
        return true;
    };
    const RunResult result = runChild(argv, options);
    if (exitCode != nullptr)
        *exitCode = result.startError != 0 ? -result.startError : int(result.exitCode);
    return text;
}

// The hexadecimal mask of one "Sig...:" line of /proc/<child>/status.
unsigned long long maskOf(const std::string& status, const std::string& name)
{
    const std::size_t at = status.find(name + ":\t");
    return at == std::string::npos ? ~0ull
                                   : std::stoull(status.substr(at + name.size() + 2), nullptr, 16);
}

unsigned long long bit(int signal)
{
    return 1ull << (signal - 1);
}

} // namespace

class TestOsCore : public QObject
{
    Q_OBJECT

private slots:
    // Whatever the starting thread blocks or ignores, the child starts clean, in the group
    // asked for.
    void startsChildrenClean_data()
    {
        QTest::addColumn<bool>("ownGroup");
        QTest::newRow("own group") << true;
        QTest::newRow("our group") << false;
    }

    void startsChildrenClean()
    {
        QFETCH(bool, ownGroup);
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction oldTerm = {};
        struct sigaction oldPipe = {};
        ::sigaction(SIGTERM, &ignore, &oldTerm);
        ::sigaction(SIGPIPE, &ignore, &oldPipe);
        sigset_t block;
        sigset_t oldMask;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, &oldMask);

        ChildOptions options;
        options.ownGroup = ownGroup;
        const std::string status = outputOf({"cat", "/proc/self/status"}, options);
        const std::string stat =
            outputOf({"cut", "-d", " ", "-f", "5", "/proc/self/stat"}, options);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
        ::sigaction(SIGPIPE, &oldPipe, nullptr);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);

        QCOMPARE(maskOf(status, "SigBlk"), 0ull);
        QCOMPARE(maskOf(status, "SigIgn") & (bit(SIGTERM) | bit(SIGPIPE)), 0ull);
        QVERIFY(!stat.empty());
        const pid_t group = std::stoi(stat);
        if (ownGroup)
            QVERIFY(group != ::getpgrp());
        else
            QCOMPARE(group, ::getpgrp());
    }

    void reportsWhyAProgramDidNotStart_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::addColumn<int>("error");
        QTest::newRow("missing path") << QByteArray("/nonexistent/program") << ENOENT;
        QTest::newRow("missing on PATH") << QByteArray("tovilo-no-such-program") << ENOENT;
        QTest::newRow("not executable") << QByteArray("plain") << EACCES;
        QTest::newRow("a folder") << QByteArray("/") << EACCES;
        QTest::newRow("empty") << QByteArray() << ENOENT;
    }

    void reportsWhyAProgramDidNotStart()
    {
        QFETCH(QByteArray, program);
        QFETCH(int, error);
        QTemporaryDir dir;
        if (program == "plain") {
            QFile file(dir.filePath(QStringLiteral("plain")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n");
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
            program = QFile::encodeName(file.fileName());
        }
        int exitCode = 0;
        outputOf({program.toStdString()}, {}, &exitCode);
        QCOMPARE(exitCode, -error);
    }

    // A child that runs on is seen running, ends when killed, and its signal is told.
    void waitsWithALimit()
    {
        const UniqueFd none(::open("/dev/null", O_RDWR | O_CLOEXEC));
        ChildProcess child;
        QCOMPARE(child.start(Argv{"sleep", "600"}, none.get(), none.get()), 0);
        QVERIFY(!child.waitForExit(0));
        QCOMPARE(child.exitCode(), stillActiveExitCode);
        child.kill();
        QVERIFY(child.waitForExit(-1));
        QCOMPARE(child.exitSignal(), SIGKILL);
        QCOMPARE(child.exitCode(), 128u + SIGKILL);
    }

    // A stop request ends the run at once; the output before it is delivered.
    void stopsOnRequest()
    {
        SignalPipe piped;
        QVERIFY(piped.install({SIGUSR1}, SignalPipe::Options{}));
        std::string text;
        bool asked = false;
        RunOptions options;
        options.onOutput = [&](std::string_view piece) {
            text.append(piece);
            if (text.find('\n') != std::string::npos && !asked) {
                asked = true;
                ::raise(SIGUSR1);
            }
            return true;
        };
        options.stopFd = piped.fd();
        options.stopRequested = [&] {
            unsigned char numbers[4];
            return piped.take(numbers, sizeof numbers) > 0 && numbers[0] == SIGUSR1;
        };
        const RunResult result =
            runChild(Argv{"sh", "-c", "echo started; exec sleep 600"}, options);
        QVERIFY(result.stopped);
        QVERIFY(!result.timedOut);
        QCOMPARE(result.exitSignal, SIGKILL);
        QCOMPARE(text, std::string("started\n"));
    }

    // A pipeline hands each stage's output to the next and keeps what each says apart; however
    // it ends, no stage is left running.
    void runsAPipeline_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("stop"); // asked to stop once the first stage has spoken
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("result"); // what the second stage said
        QTest::addColumn<int>("firstEnd");   // exit code, or 128 + signal; -1: not told
        QTest::addColumn<int>("secondEnd");  // ... or -errno when it could not start
        QTest::newRow("data through, messages apart")
            << "echo data; echo one >&2"
            << "read x; echo got $x; echo two >&2" << false << "one\n"
            << "got data\ntwo\n"
            << 0 << 0;
        QTest::newRow("the reader ends early") << "echo one >&2; exec yes"
                                               << "exit 3" << false << "one\n"
                                               << "" << 128 + SIGPIPE << 3;
        QTest::newRow("the writer ends early") << "exit 4"
                                               << "cat; echo end" << false << ""
                                               << "end\n"
                                               << 4 << 0;
        QTest::newRow("stopped") << "echo one >&2; exec sleep 600"
                                 << "exec cat" << true << "one\n"
                                 << "" << 128 + SIGKILL << 128 + SIGKILL;
        // An empty script: a program that does not exist.
        QTest::newRow("a stage that cannot start") << "exec sleep 600"
                                                   << "" << false << ""
                                                   << "" << -1 << -ENOENT;
    }

    void runsAPipeline()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, stop);
        QFETCH(QString, said);
        QFETCH(QString, result);
        QFETCH(int, firstEnd);
        QFETCH(int, secondEnd);
        std::string output[2];
        std::vector<PipelineStage> stages;
        for (const QString& script : {first, second}) {
            std::string& text = output[stages.size()];
            const std::vector<std::string> argv =
                script.isEmpty() ? std::vector<std::string>{"/nonexistent/program"}
                                 : std::vector<std::string>{"sh", "-c", script.toStdString()};
            stages.push_back({argv, [&text](std::string_view piece) {
                                  text.append(piece);
                                  return true;
                              }});
        }
        std::vector<pid_t> started;
        RunOptions options;
        options.pollMs = 10;
        options.stopRequested = [&] { return stop && !output[0].empty(); };
        options.onStarted = [&](pid_t pid) { started.push_back(pid); };
        const std::vector<RunResult> ends = runPipeline(stages, options);
        QCOMPARE(ends.size(), std::size_t(2));
        QCOMPARE(QString::fromStdString(output[0]), said);
        QCOMPARE(QString::fromStdString(output[1]), result);
        if (firstEnd >= 0)
            QCOMPARE(int(ends[0].exitCode), firstEnd);
        QCOMPARE(ends[1].startError != 0 ? -ends[1].startError : int(ends[1].exitCode), secondEnd);
        QCOMPARE(ends[1].stopped, stop);
        for (const pid_t pid : started) { // ended and collected
            QCOMPARE(::kill(pid, 0), -1);
            QCOMPARE(errno, ESRCH);
        }
    }

    // Only the very file that was made goes; whatever took its name stays.
    void removesOnlyItsOwnFile_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("nameLeft");
        QTest::newRow("untouched") << "" << int(OwnRemoval::Removed) << false;
        QTest::newRow("gone") << "remove" << int(OwnRemoval::Gone) << false;
        QTest::newRow("replaced by a file") << "replace" << int(OwnRemoval::NotOurs) << true;
        QTest::newRow("replaced by a link") << "link" << int(OwnRemoval::NotOurs) << true;
        QTest::newRow("replaced by a folder") << "folder" << int(OwnRemoval::NotOurs) << true;
    }

    void removesOnlyItsOwnFile()
    {
        QFETCH(QString, meanwhile);
        QFETCH(int, expected);
        QFETCH(bool, nameLeft);
        QTemporaryDir dir;
        const std::string path =
            QFile::encodeName(dir.filePath(QStringLiteral("out.mp4"))).toStdString();
        std::string temp =
            QFile::encodeName(dir.filePath(QStringLiteral("tmpXXXXXX"))).toStdString();
        const int fd = makeTempFile(temp);
        QVERIFY(fd >= 0);
        QVERIFY((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        ::close(fd);
        QCOMPARE(::rename(temp.c_str(), path.c_str()), 0);
        struct stat made = {};
        QCOMPARE(::stat(path.c_str(), &made), 0);
        // The old file is kept elsewhere, so its inode cannot pass to the newcomer.
        if (meanwhile != QLatin1String(""))
            QCOMPARE(::rename(path.c_str(), (path + ".kept").c_str()), 0);
        if (meanwhile == QLatin1String("replace"))
            QVERIFY(QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly));
        else if (meanwhile == QLatin1String("link"))
            QCOMPARE(::symlink("/etc/hostname", path.c_str()), 0);
        else if (meanwhile == QLatin1String("folder"))
            QCOMPARE(::mkdir(path.c_str(), 0700), 0);
        QCOMPARE(int(removeIfSame(path.c_str(), made.st_dev, made.st_ino)), expected);
        struct stat left = {};
        QCOMPARE(::lstat(path.c_str(), &left) == 0, nameLeft);
        // Nothing is left aside.
        const QStringList names = QDir(dir.path()).entryList(QDir::Hidden | QDir::AllEntries);
        QVERIFY(names.filter(QStringLiteral("removing")).isEmpty());
    }

    // A rewrite in place that puts the size and the modification time back is still a change.
    void seesARewriteWithItsTimePutBack()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("source.avi")));
        QFile file(QFile::decodeName(path));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("before") == 6);
        file.close();
        const std::optional<FileInfo> before = fileInfo(path.constData());
        QVERIFY(before && before->unchangedSince(*before));
        QTest::qWait(20); // the change time moves on a coarse clock
        QVERIFY(file.open(QIODevice::ReadWrite) && file.write("after!") == 6);
        file.close();
        const timespec times[2] = {before->modified, before->modified};
        QCOMPARE(::utimensat(AT_FDCWD, path.constData(), times, 0), 0);
        const std::optional<FileInfo> after = fileInfo(path.constData());
        QVERIFY(after && after->size == before->size);
        QVERIFY(!after->unchangedSince(*before));
    }
};

QTEST_GUILESS_MAIN(TestOsCore)
#include "tst_oscore.moc"
