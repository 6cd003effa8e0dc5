// The wrapper as a process, with a fake ffmpeg first on PATH.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QStringList kAudioArgs = {"-y",  "-i",    "/in/clip.avi", "-ab", "128k",
                                "-ar", "44100", "-f",           "mp3", "/out/clip.mp3"};

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

bool isGone(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return errno == ESRCH;
    // A zombie no longer runs; its new parent reaps it in its own time.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.mid(close + 2, 1) == "Z";
}

} // namespace

class TestFfmpegWrapper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passesExitCode_data();
    void passesExitCode();
    void reportsDeathBySignal_data();
    void reportsDeathBySignal();
    void reportsMissingFfmpeg_data();
    void reportsMissingFfmpeg();
    void skipsItselfOnPath();
    void passesProgressOn();
    void handsFileNamesOverIntact_data();
    void handsFileNamesOverIntact();
    void refusesWithoutRunningFfmpeg_data();
    void refusesWithoutRunningFfmpeg();
    void endsFfmpegWhenEnded_data();
    void endsFfmpegWhenEnded();

private:
    QProcessEnvironment environment(const QString& path, const QString& mode) const;
    Result run(const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& input = {}) const;
    Result runFake(const QString& mode, const QStringList& args = kAudioArgs) const
    {
        return run(args, environment(m_fakeDir.path(), mode));
    }

    QTemporaryDir m_fakeDir;
    QTemporaryDir m_otherDir;
};

void TestFfmpegWrapper::initTestCase()
{
    QVERIFY(m_fakeDir.isValid() && m_otherDir.isValid());
    QVERIFY(QFile::link(FAKE_FFMPEG_PATH, m_fakeDir.filePath("ffmpeg")));
}

QProcessEnvironment TestFfmpegWrapper::environment(const QString& path, const QString& mode) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", path);
    env.insert("FAKE_FFMPEG_MODE", mode);
    return env;
}

Result TestFfmpegWrapper::run(const QStringList& args, const QProcessEnvironment& env,
                              const QByteArray& input) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(WRAPPER_PATH, args);
    Result result;
    if (!process.waitForStarted())
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestFfmpegWrapper::passesExitCode_data()
{
    QTest::addColumn<int>("code");
    for (int code : {0, 1, 3, 255})
        QTest::addRow("%d", code) << code;
}

void TestFfmpegWrapper::passesExitCode()
{
    QFETCH(int, code);
    QProcessEnvironment env = environment(m_fakeDir.path(), "exit");
    env.insert("FAKE_FFMPEG_CODE", QString::number(code));
    const Result result = run(kAudioArgs, env);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, code);
    QCOMPARE(result.err, QByteArray());
}

void TestFfmpegWrapper::reportsDeathBySignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGKILL") << int(SIGKILL);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGUSR1") << int(SIGUSR1);
}

void TestFfmpegWrapper::reportsDeathBySignal()
{
    QFETCH(int, signal);
    QProcessEnvironment env = environment(m_fakeDir.path(), "signal");
    env.insert("FAKE_FFMPEG_SIGNAL", QString::number(signal));
    const Result result = run(kAudioArgs, env);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 128 + signal);
    QVERIFY2(result.err.contains("signal " + QByteArray::number(signal)), result.err);
}

void TestFfmpegWrapper::reportsMissingFfmpeg_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("empty folder") << "";
    QTest::newRow("not executable") << "file";
    QTest::newRow("folder named ffmpeg") << "folder";
}

void TestFfmpegWrapper::reportsMissingFfmpeg()
{
    QFETCH(QString, setup);
    QTemporaryDir dir;
    const QString name = dir.filePath("ffmpeg");
    if (setup == "file") {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
    } else if (setup == "folder") {
        QVERIFY(QDir().mkdir(name));
    }
    const Result result = run(kAudioArgs, environment(dir.path(), "exit"));
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 127);
    QVERIFY2(result.err.contains("ffmpeg was not found on PATH"), result.err);
}

// With its own folder on PATH the wrapper would otherwise start itself again and again.
void TestFfmpegWrapper::skipsItselfOnPath()
{
    const QString ownDir = QFileInfo(WRAPPER_PATH).absolutePath();
    QProcessEnvironment env = environment(ownDir + ":" + m_fakeDir.path(), "exit");
    env.insert("FAKE_FFMPEG_CODE", "3");
    const Result result = run(kAudioArgs, env);
    QCOMPARE(result.exitCode, 3);
}

void TestFfmpegWrapper::passesProgressOn()
{
    const Result result = runFake("progress");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out,
             QByteArray("Output #0, mp4, to 'file:/out.mp4':\n"
                        "frame=  30 fps=0.0 q=2.0 size=  10kB time=1.50 bitrate= 80.0kbits/s "
                        "speed=1x    \r"
                        "frame=  60 fps=0.0 q=2.0 size=  20kB time=2.50 bitrate= 80.0kbits/s "
                        "speed=1x    \r"
                        "frame=  90 fps=0.0 q=2.0 size=  30kB time=3.50 bitrate= 80.0kbits/s "
                        "speed=1x    \r"
                        "\nvideo:30kB audio:5kB\n"));
}

void TestFfmpegWrapper::handsFileNamesOverIntact_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("blanks and Japanese") << "/動画 フォルダ/my clip.avi"
                                         << "/出力/my clip.mp3";
    QTest::newRow("leading dash") << "-i"
                                  << "-clip.mp3";
    QTest::newRow("quotes, backslash, newline") << "/a \"b\" \\c\n.avi"
                                                << "/o'ut\n.mp3";
    QTest::newRow("shell characters") << "/$(touch x); `y` *.avi"
                                      << "/a|b&c>d.mp3";
}

void TestFfmpegWrapper::handsFileNamesOverIntact()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QStringList args = {"-y",  "-i",    source, "-ab", "128k",
                              "-ar", "44100", "-f",   "mp3", output};
    const Result result = run(args, environment(m_fakeDir.path(), "args"), "typed input\n");
    QCOMPARE(result.exitCode, 0);
    QList<QByteArray> received = result.out.split('\0');
    QCOMPARE(received.takeLast(), QByteArray("stdin=0")); // ffmpeg never sees our stdin
    QVERIFY(received.contains("-nostdin"));
    QCOMPARE(received.at(received.indexOf("-i") + 1), "file:" + source.toUtf8());
    QCOMPARE(received.last(), "file:" + output.toUtf8());
}

void TestFfmpegWrapper::refusesWithoutRunningFfmpeg_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown option")
        << QStringList{"-y",   "-threads", "2",     "-i", "/in.avi", "-ab",
                       "128k", "-ar",      "44100", "-f", "mp3",     "/out.mp3"}
        << QByteArray("unknown option -threads");
    QTest::newRow("missing value")
        << QStringList{"-y", "-i", "/in.avi", "-ab"} << QByteArray("option -ab needs a value");
    QTest::newRow("quality outside the table")
        << QStringList{"-y",    "-i", "/in.avi", "-flags", "bitexact", "-vcodec",
                       "mpeg4", "-s", "640x480", "-async", "1000"}
        << QByteArray("no output file");
}

void TestFfmpegWrapper::refusesWithoutRunningFfmpeg()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);
    const Result result = runFake("args", args);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("lib/ffmpeg: ") && result.err.contains(message), result.err);
}

// Progress arrives while ffmpeg runs; however the wrapper is ended, ffmpeg ends with it.
void TestFfmpegWrapper::endsFfmpegWhenEnded_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("wholeGroup");
    QTest::addColumn<int>("exitCode"); // -1: the wrapper itself is killed

    QTest::newRow("group killed") << int(SIGKILL) << true << -1;
    QTest::newRow("wrapper killed alone") << int(SIGKILL) << false << -1;
    QTest::newRow("SIGTERM forwarded") << int(SIGTERM) << false << 128 + SIGTERM;
    QTest::newRow("SIGINT forwarded") << int(SIGINT) << false << 128 + SIGINT;
    QTest::newRow("SIGHUP forwarded") << int(SIGHUP) << false << 128 + SIGHUP;
}

void TestFfmpegWrapper::endsFfmpegWhenEnded()
{
    QFETCH(int, signal);
    QFETCH(bool, wholeGroup);
    QFETCH(int, exitCode);

    QProcess wrapper;
    wrapper.setProcessEnvironment(environment(m_fakeDir.path(), "hold"));
    wrapper.setChildProcessModifier([] { ::setpgid(0, 0); });
    wrapper.start(WRAPPER_PATH, kAudioArgs);
    QVERIFY(wrapper.waitForStarted());
    const pid_t wrapperPid = static_cast<pid_t>(wrapper.processId());

    QByteArray out;
    const QByteArray progress = "time=1.50 bitrate= 80.0kbits/s\r";
    QDeadlineTimer deadline(10000);
    while (!out.contains(progress) && !deadline.hasExpired() &&
           wrapper.state() == QProcess::Running) {
        wrapper.waitForReadyRead(100);
        out += wrapper.readAllStandardOutput();
    }
    const qsizetype at = out.indexOf("pid=");
    const pid_t fakePid = at < 0 ? 0 : out.mid(at + 4, out.indexOf('\n', at) - at - 4).toInt();
    auto cleanup = qScopeGuard([&] {
        if (fakePid > 0 && !isGone(fakePid))
            ::kill(fakePid, SIGKILL);
        wrapper.kill();
        wrapper.waitForFinished();
    });
    QVERIFY2(out.contains(progress), out);
    QCOMPARE(wrapper.state(), QProcess::Running);
    QVERIFY(fakePid > 0);

    QCOMPARE(::kill(wholeGroup ? -wrapperPid : wrapperPid, signal), 0);
    QVERIFY(wrapper.waitForFinished(10000));
    if (exitCode < 0) {
        QCOMPARE(wrapper.exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(wrapper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(wrapper.exitCode(), exitCode);
    }
    QTRY_VERIFY_WITH_TIMEOUT(isGone(fakePid), 5000);
}

QTEST_GUILESS_MAIN(TestFfmpegWrapper)
#include "tst_ffmpegwrapper.moc"
