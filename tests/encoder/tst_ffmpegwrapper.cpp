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
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QStringList audioArgs(const QString& source, const QString& output)
{
    return {u"-y"_s,  u"-i"_s,    source,  u"-ab"_s, u"128k"_s,
            u"-ar"_s, u"44100"_s, u"-f"_s, u"mp3"_s, output};
}

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
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.mid(close + 2, 1) == "Z";
}

// The line the program keeps as the reason of a failed run.
QByteArray lastLine(const QByteArray& text)
{
    const QList<QByteArray> lines = text.trimmed().split('\n');
    return lines.last();
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
    void endsWhenParentDies();
    void reportsWhyItFailed_data();
    void reportsWhyItFailed();
    void guardsTheOutputPath_data();
    void guardsTheOutputPath();
    void boundsTheProbe();
    void keepsAnotherUserOut_data();
    void keepsAnotherUserOut();

private:
    QProcessEnvironment environment(const QString& path, const QString& mode) const;
    Result run(const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& input = {}) const;
    Result runFake(const QString& mode, const QStringList& args) const
    {
        return run(args, environment(m_fakeDir.path(), mode));
    }
    Result runFake(const QString& mode) const { return runFake(mode, m_audioArgs); }

    QTemporaryDir m_fakeDir;
    QTemporaryDir m_otherDir;
    QTemporaryDir m_work; // the working folder of every run
    QString m_source;
    QString m_output;
    QStringList m_audioArgs;
};

void TestFfmpegWrapper::initTestCase()
{
    QVERIFY(m_fakeDir.isValid() && m_otherDir.isValid() && m_work.isValid());
    QVERIFY(QFile::link(QStringLiteral(FAKE_FFMPEG_PATH), m_fakeDir.filePath(u"ffmpeg"_s)));
    m_source = m_work.filePath(u"clip.avi"_s);
    m_output = m_work.filePath(u"clip.mp3"_s);
    m_audioArgs = audioArgs(m_source, m_output);
    QFile source(m_source);
    QVERIFY(source.open(QIODevice::WriteOnly) && source.write("RIFF") == 4);
    QCOMPARE(::mkfifo(QFile::encodeName(m_work.filePath(u"pipe.avi"_s)).constData(), 0600), 0);
}

QProcessEnvironment TestFfmpegWrapper::environment(const QString& path, const QString& mode) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"PATH"_s, path);
    env.insert(u"FAKE_FFMPEG_MODE"_s, mode);
    return env;
}

Result TestFfmpegWrapper::run(const QStringList& args, const QProcessEnvironment& env,
                              const QByteArray& input) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_work.path());
    process.start(QStringLiteral(WRAPPER_PATH), args);
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
    QProcessEnvironment env = environment(m_fakeDir.path(), u"exit"_s);
    env.insert(u"FAKE_FFMPEG_CODE"_s, QString::number(code));
    const Result result = run(m_audioArgs, env);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, code);
    if (code == 0)
        QCOMPARE(result.err, QByteArray());
    else
        QCOMPARE(result.err, "lib/ffmpeg: error: other: ffmpeg exited with code " +
                                 QByteArray::number(code) + "\n");
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
    QProcessEnvironment env = environment(m_fakeDir.path(), u"signal"_s);
    env.insert(u"FAKE_FFMPEG_SIGNAL"_s, QString::number(signal));
    const Result result = run(m_audioArgs, env);
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
    const QString name = dir.filePath(u"ffmpeg"_s);
    if (setup == u"file"_s) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
    } else if (setup == u"folder"_s) {
        QVERIFY(QDir().mkdir(name));
    }
    const Result result = run(m_audioArgs, environment(dir.path(), u"exit"_s));
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 127);
    QVERIFY2(result.err.contains("ffmpeg was not found on PATH"), result.err);
}

// With its own folder on PATH the wrapper would otherwise start itself again and again.
void TestFfmpegWrapper::skipsItselfOnPath()
{
    const QString ownDir = QFileInfo(QStringLiteral(WRAPPER_PATH)).absolutePath();
    QProcessEnvironment env = environment(ownDir + u":"_s + m_fakeDir.path(), u"exit"_s);
    env.insert(u"FAKE_FFMPEG_CODE"_s, u"3"_s);
    const Result result = run(m_audioArgs, env);
    QCOMPARE(result.exitCode, 3);
}

void TestFfmpegWrapper::passesProgressOn()
{
    const Result result = runFake(u"progress"_s);
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
    // Relative to the working folder, where the fake writes the output.
    QTest::newRow("blanks and Japanese") << "動画 フォルダ/my clip.avi"
                                         << "出力/my clip.mp3";
    QTest::newRow("leading dash") << "-i"
                                  << "-clip.mp3";
    QTest::newRow("quotes, backslash, newline") << "a \"b\" \\c\n.avi"
                                                << "o'ut\n.mp3";
    QTest::newRow("shell characters") << "$(touch x); `y` *.avi"
                                      << "a|b&c>d.mp3";
}

void TestFfmpegWrapper::handsFileNamesOverIntact()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QStringList args = {u"-y"_s,  u"-i"_s,    source,  u"-ab"_s, u"128k"_s,
                              u"-ar"_s, u"44100"_s, u"-f"_s, u"mp3"_s, output};
    QVERIFY(QDir(m_work.path()).mkpath(u"出力"_s));
    const Result result = run(args, environment(m_fakeDir.path(), u"args"_s), "typed input\n");
    QCOMPARE(result.exitCode, 0);
    QList<QByteArray> received = result.out.split('\0');
    QCOMPARE(received.takeLast(), QByteArray("stdin=0")); // ffmpeg never sees our stdin
    QVERIFY(received.contains("-nostdin"));
    QCOMPARE(received.at(received.indexOf("-i") + 1), "file:" + source.toUtf8());
    // ffmpeg writes the file held open at that name, never through the name itself.
    QVERIFY2(received.last().startsWith("file:/proc/self/fd/"), received.last());
    QVERIFY(QFileInfo(m_work.filePath(output)).size() > 0);
}

void TestFfmpegWrapper::refusesWithoutRunningFfmpeg_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown option")
        << QStringList{u"-y"_s,   u"-threads"_s, u"2"_s,     u"-i"_s, u"/in.avi"_s, u"-ab"_s,
                       u"128k"_s, u"-ar"_s,      u"44100"_s, u"-f"_s, u"mp3"_s,     u"/out.mp3"_s}
        << QByteArray("unknown option -threads");
    QTest::newRow("missing value") << QStringList{u"-y"_s, u"-i"_s, u"/in.avi"_s, u"-ab"_s}
                                   << QByteArray("option -ab needs a value");
    QTest::newRow("quality outside the table")
        << QStringList{u"-y"_s,    u"-i"_s, u"/in.avi"_s, u"-flags"_s, u"bitexact"_s, u"-vcodec"_s,
                       u"mpeg4"_s, u"-s"_s, u"640x480"_s, u"-async"_s, u"1000"_s}
        << QByteArray("no output file");
}

void TestFfmpegWrapper::refusesWithoutRunningFfmpeg()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);
    const Result result = runFake(u"args"_s, args);
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
    wrapper.setProcessEnvironment(environment(m_fakeDir.path(), u"hold"_s));
    wrapper.setChildProcessModifier([] { ::setpgid(0, 0); });
    QFile::remove(m_output);
    wrapper.start(QStringLiteral(WRAPPER_PATH), m_audioArgs);
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
        const QByteArray err = wrapper.readAllStandardError();
        QVERIFY2(lastLine(err).startsWith("lib/ffmpeg: error: stopped: "), err);
        QVERIFY2(!QFile::exists(m_output), "the partial output is left");
    }
    QTRY_VERIFY_WITH_TIMEOUT(isGone(fakePid), 5000);
}

// The program may die without a word (SIGKILL, a crash): the wrapper must see it by itself.
void TestFfmpegWrapper::endsWhenParentDies()
{
    QFile::remove(m_output);
    QProcess parent;
    parent.setProcessEnvironment(environment(m_fakeDir.path(), u"hold"_s));
    parent.setWorkingDirectory(m_work.path());
    parent.setProcessChannelMode(QProcess::MergedChannels);
    // The shell stays as the wrapper's parent, as the program does, and tells its pid.
    parent.start(u"/bin/sh"_s, QStringList{u"-c"_s, u"\"$0\" \"$@\" & echo wrapper=$!; wait"_s,
                                           QStringLiteral(WRAPPER_PATH)} +
                                   m_audioArgs);
    QVERIFY(parent.waitForStarted());

    QByteArray out;
    auto pidAfter = [&out](const QByteArray& key) {
        const qsizetype at = out.indexOf(key);
        const qsizetype end = out.indexOf('\n', at);
        return at < 0 || end < 0 ? 0 : out.mid(at + key.size(), end - at - key.size()).toInt();
    };
    QDeadlineTimer deadline(10000);
    while ((pidAfter("pid=") == 0 || pidAfter("wrapper=") == 0) && !deadline.hasExpired()) {
        parent.waitForReadyRead(100);
        out += parent.readAll();
    }
    const pid_t fakePid = pidAfter("pid=");
    const pid_t wrapperPid = pidAfter("wrapper=");
    auto cleanup = qScopeGuard([&] {
        for (pid_t pid : {fakePid, wrapperPid}) {
            if (pid > 0 && !isGone(pid))
                ::kill(pid, SIGKILL);
        }
    });
    QVERIFY2(fakePid > 0 && wrapperPid > 0, out);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_output), 5000);

    parent.kill();
    QVERIFY(parent.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(isGone(fakePid), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(wrapperPid), 2000);
    QVERIFY2(!QFile::exists(m_output), "the partial output is left");
}

void TestFfmpegWrapper::reportsWhyItFailed_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");   // what the fake prints; %1 is the source's file URL
    QTest::addColumn<QString>("source"); // relative to the working folder
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line"); // the last line

    const QByteArray prefix = "lib/ffmpeg: error: ";
    QTest::newRow("full disk, ffmpeg says success")
        << "trailer" << 0 << ""
        << "clip.avi"
        << "clip.mp3" << 1 << prefix + "disk-full: No space left on device";
    QTest::newRow("output cut short, no message")
        << "cut" << 0 << ""
        << "clip.avi"
        << "clip.mp3" << 1 << prefix + "incomplete-output: the last audio frame is cut short";
    QTest::newRow("write error in the middle")
        << "exit" << 1 << "av_interleaved_write_frame(): Input/output error\nConversion failed!\n"
        << "clip.avi"
        << "clip.mp3" << 1
        << prefix + "incomplete-output: av_interleaved_write_frame(): Input/output error";
    QTest::newRow("broken source")
        << "exit" << 1 << "%1: Invalid data found when processing input\n"
        << "clip.avi"
        << "clip.mp3" << 1 << prefix + "input-invalid: Invalid data found when processing input";
    QTest::newRow("no audio track")
        << "exit" << 1 << "Output file #0 does not contain any stream\n"
        << "clip.avi"
        << "clip.mp3" << 1 << prefix + "no-audio: the source has no audio track";
    QTest::newRow("source missing")
        << "exit" << 1 << "%1: No such file or directory\n"
        << "gone.avi"
        << "clip.mp3" << 1 << prefix + "input-missing: No such file or directory";
    QTest::newRow("source is a folder")
        << "exit" << 1 << "%1: Is a directory\n"
        << "."
        << "clip.mp3" << 1 << prefix + "input-unreadable: Is a directory";
    QTest::newRow("output folder missing")
        << "exit" << 1 << "No such file or directory\n"
        << "clip.avi"
        << "gone/clip.mp3" << 1 << prefix + "output-folder: the output folder does not exist";
    QTest::newRow("other: the last error line, without the file name")
        << "exit" << 8
        << "Stream mapping:\n%1: Operation not permitted\n[aac @ 0x55] Qavg: 503\n"
           "Conversion failed!\n"
        << "clip.avi"
        << "clip.mp3" << 8 << prefix + "other: Operation not permitted";
    // A read error ends ffmpeg's input as if the source ended there, and it exits 0.
    QTest::newRow("source unreadable midway, ffmpeg says success")
        << "exit" << 0
        << "frame=  40 fps=0.0 q=2.0 size=  15kB time=00:00:01.50\r%1: Input/output error\n"
        << "clip.avi"
        << "clip.mp3" << 1 << prefix + "input-incomplete: Input/output error";
    QTest::newRow("source unreadable midway, later ffmpeg")
        << "exit" << 0 << "[in#0/avi @ 0x55] Error during demuxing: Input/output error\n"
        << "clip.avi"
        << "clip.mp3" << 1
        << prefix + "input-incomplete: [in#0/avi @ 0x55] Error during demuxing: Input/output error";
    // A pipe would hold ffmpeg forever: refused before anything runs.
    QTest::newRow("source is a pipe")
        << "exit" << 0 << ""
        << "pipe.avi"
        << "clip.mp3" << 1 << prefix + "input-not-file: the source is not a regular file";
}

void TestFfmpegWrapper::reportsWhyItFailed()
{
    QFETCH(QString, mode);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);

    QProcessEnvironment env = environment(m_fakeDir.path(), mode == u"cut"_s ? u"exit"_s : mode);
    env.insert(u"FAKE_FFMPEG_CODE"_s, QString::number(code));
    env.insert(u"FAKE_FFMPEG_TEXT"_s, text.arg(u"file:"_s + source));
    if (mode == u"cut"_s)
        env.insert(u"FAKE_FFMPEG_CUT"_s, u"1000"_s);
    QFile::remove(m_work.filePath(output));
    const Result result = run(audioArgs(source, output), env);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(lastLine(result.out + result.err), line);
    QVERIFY2(!QFile::exists(m_work.filePath(output)), "the failed output is left");
}

// The program reserves the output name by creating it empty; anything else already there is
// either left alone or, a link, refused.
void TestFfmpegWrapper::guardsTheOutputPath_data()
{
    QTest::addColumn<QString>("existing"); // "empty", "file", "link", "dangling link"
    QTest::addColumn<bool>("overwriteFlag");
    QTest::addColumn<int>("code"); // of the fake
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("after"); // "converted", "kept", "gone", "link kept"

    QTest::newRow("reserved empty file, no -y")
        << "empty" << false << 0 << 0 << QByteArray() << "converted";
    // A FAT stick or a CIFS share gives every file one fixed owner.
    QTest::newRow("reserved empty file of another owner")
        << "foreign empty" << false << 0 << 0 << QByteArray() << "converted";
    QTest::newRow("reserved empty file, failed run")
        << "empty" << true << 1 << 1 << QByteArray("other: ffmpeg exited with code 1") << "gone";
    QTest::newRow("earlier file, run failed before writing")
        << "file" << true << 1 << 1 << QByteArray("other: ffmpeg exited with code 1") << "kept";
    QTest::newRow("link to a file")
        << "link" << true << 0 << 1
        << QByteArray("output-unwritable: the output is a symbolic link") << "link kept";
    QTest::newRow("dangling link")
        << "dangling link" << true << 0 << 1
        << QByteArray("output-unwritable: the output is a symbolic link") << "link kept";
}

void TestFfmpegWrapper::guardsTheOutputPath()
{
    QFETCH(QString, existing);
    QFETCH(bool, overwriteFlag);
    QFETCH(int, code);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);
    QFETCH(QString, after);

    const QString target = m_otherDir.filePath(u"elsewhere.mp3"_s);
    QFile::remove(m_output);
    QFile::remove(target);
    const QByteArray earlier = "earlier content";
    if (existing == u"empty"_s || existing == u"file"_s || existing == u"link"_s) {
        QFile file(existing == u"link"_s ? target : m_output);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (existing != u"empty"_s)
            file.write(earlier);
    }
    if (existing.endsWith(u"link"_s))
        QVERIFY(QFile::link(target, m_output));
    if (existing == u"foreign empty"_s) {
        QFile file(m_output);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (::geteuid() != 0 || ::chown(QFile::encodeName(m_output).constData(), 65534, 65534) != 0)
            QSKIP("needs root to give the file another owner");
    }

    QStringList args = m_audioArgs;
    if (!overwriteFlag)
        args.removeAll(u"-y"_s);
    QProcessEnvironment env = environment(m_fakeDir.path(), u"args"_s);
    if (code != 0) {
        env.insert(u"FAKE_FFMPEG_MODE"_s, u"exit"_s);
        env.insert(u"FAKE_FFMPEG_CODE"_s, QString::number(code));
    }
    const Result result = run(args, env);
    QCOMPARE(result.exitCode, exitCode);
    if (line.isEmpty())
        QCOMPARE(result.err, QByteArray());
    else
        QCOMPARE(lastLine(result.err), "lib/ffmpeg: error: " + line);

    const QFileInfo info(m_output);
    if (after == u"converted"_s) {
        QVERIFY2(result.out.split('\0').contains("-y"), result.out); // ffmpeg may replace it
        QVERIFY(info.isFile() && info.size() > 0);
    } else if (after == u"kept"_s) {
        QFile file(m_output);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), earlier);
    } else if (after == u"gone"_s) {
        QVERIFY(!info.exists() && !info.isSymLink());
    } else {
        QVERIFY(info.isSymLink());
        QCOMPARE(result.out, QByteArray()); // ffmpeg never ran
        QCOMPARE(QFile(target).exists(), existing == u"link"_s);
        if (existing == u"link"_s)
            QCOMPARE(QFileInfo(target).size(), qint64(earlier.size()));
    }
}

// An ffprobe that never ends holds the conversion up a few seconds at most, and nothing it
// started is left running.
void TestFfmpegWrapper::boundsTheProbe()
{
    QTemporaryDir dir;
    QVERIFY(QFile::link(QStringLiteral(FAKE_FFMPEG_PATH), dir.filePath(u"ffmpeg"_s)));
    const QString pidFile = dir.filePath(u"probe.pid"_s);
    QFile probe(dir.filePath(u"ffprobe"_s));
    QVERIFY(probe.open(QIODevice::WriteOnly));
    probe.write("#!/bin/sh\n/bin/sleep 600 &\necho $! > \"$PROBE_PID_FILE\"\nwait\n");
    probe.close();
    QVERIFY(probe.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QProcessEnvironment env = environment(dir.path(), u"exit"_s);
    env.insert(u"PROBE_PID_FILE"_s, pidFile);
    QFile::remove(m_output);
    const QStringList args = {
        u"-y"_s,       u"-i"_s,      m_source,     u"-flags"_s,
        u"bitexact"_s, u"-vcodec"_s, u"mpeg4"_s,   u"-s"_s,
        u"320x240"_s,  u"-async"_s,  u"1000"_s,    u"-r"_s,
        u"30"_s,       u"-acodec"_s, u"libfaac"_s, u"-b"_s,
        u"1024kb"_s,   u"-ac"_s,     u"2"_s,       u"-ar"_s,
        u"44100"_s,    u"-ab"_s,     u"128k"_s,    u"-f"_s,
        u"mp4"_s,      u"-vlevel"_s, u"30"_s,      m_work.filePath(u"clip.mp4"_s)};
    const Result result = run(args, env);
    // The fake writes an MP3, which the MP4 check refuses: the run got as far as ffmpeg.
    QVERIFY2(result.err.contains("incomplete-output"), result.err);
    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    const pid_t grandchild = pid.readAll().trimmed().toInt();
    QVERIFY(grandchild > 0);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(grandchild), 5000);
}

// In a shared folder (0777, not sticky) another user swaps the reserved output for a link to
// one of our files, before the wrapper starts or while ffmpeg writes. Nothing of ours is
// written through the link, and the run is not reported as converted.
void TestFfmpegWrapper::keepsAnotherUserOut_data()
{
    QTest::addColumn<bool>("whileWriting");
    QTest::addColumn<bool>("folder"); // the whole output folder is swapped, not the name
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("swapped before the start")
        << false << false << QByteArray("output-unwritable: the output is a symbolic link");
    QTest::newRow("swapped while ffmpeg writes")
        << true << false
        << QByteArray("output-unwritable: the output was replaced during the conversion");
    // The folder is renamed away and a link to one of ours put in its place: our file of the
    // same name stays, and the run's own output goes from the renamed folder.
    QTest::newRow("folder swapped while ffmpeg writes")
        << true << true
        << QByteArray("output-unwritable: the output was replaced during the conversion");
}

void TestFfmpegWrapper::keepsAnotherUserOut()
{
    QFETCH(bool, whileWriting);
    QFETCH(bool, folder);
    QFETCH(QByteArray, line);
    const QStringList asNobody = {u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s};
    if (::geteuid() != 0 || QProcess::execute(u"setpriv"_s, asNobody + QStringList{u"true"_s}) != 0)
        QSKIP("needs root and setpriv to act as a second user (nobody)");

    QTemporaryDir top; // the other user's, holding the shared folder
    QVERIFY(::chown(QFile::encodeName(top.path()).constData(), 65534, 65534) == 0);
    QVERIFY(QDir(top.path()).mkdir(u"shared"_s));
    const QDir shared(top.filePath(u"shared"_s));
    QVERIFY(QFile::setPermissions(shared.path(), QFileDevice::Permissions(0x7777)));
    const QString notes = m_otherDir.filePath(folder ? u"clip.mp3"_s : u"notes.txt"_s);
    const QByteArray mine = "my notes\n";
    QFile notesFile(notes);
    QVERIFY(notesFile.open(QIODevice::WriteOnly) && notesFile.write(mine) == mine.size());
    notesFile.close();
    const QString output = shared.filePath(u"clip.mp3"_s);
    QFile reserved(output); // as the program reserves the name
    QVERIFY(reserved.open(QIODevice::WriteOnly));
    reserved.close();

    const QString ready = top.filePath(u"ready"_s);
    const QString go = top.filePath(u"go"_s);
    const QString swap =
        folder ? u"mv \"$5\" \"$5.old\" && ln -s \"$6\" \"$5\" && : > \"$3\""_s
               : u"ln -s \"$1\" \"$2.new\" && mv -T \"$2.new\" \"$2\" && : > \"$3\""_s;
    QProcess attacker;
    attacker.setProgram(u"setpriv"_s);
    if (whileWriting) {
        attacker.setArguments(
            asNobody +
            QStringList{u"sh"_s, u"-c"_s, u"while [ ! -e \"$4\" ]; do sleep 0.01; done; "_s + swap,
                        u"sh"_s, notes, output, go, ready, shared.path(), m_otherDir.path()});
        attacker.start();
    } else {
        attacker.setArguments(asNobody +
                              QStringList{u"sh"_s, u"-c"_s, swap, u"sh"_s, notes, output, go});
        attacker.start();
        QVERIFY(attacker.waitForFinished(20000));
        QCOMPARE(attacker.exitCode(), 0);
    }
    QProcessEnvironment env = environment(m_fakeDir.path(), u"exit"_s);
    env.insert(u"FAKE_FFMPEG_READY"_s, ready);
    env.insert(u"FAKE_FFMPEG_GO"_s, go);
    const Result result = run(audioArgs(m_source, output), env);
    attacker.waitForFinished(20000);

    QCOMPARE(result.exitCode, 1);
    QCOMPARE(lastLine(result.err), "lib/ffmpeg: error: " + line);
    QVERIFY(notesFile.open(QIODevice::ReadOnly));
    QCOMPARE(notesFile.readAll(), mine);
    if (folder) {
        QVERIFY(!QFile::exists(shared.path() + u".old/clip.mp3"_s));
        QFile::remove(notes);
    }
}

QTEST_GUILESS_MAIN(TestFfmpegWrapper)
#include "tst_ffmpegwrapper.moc"
