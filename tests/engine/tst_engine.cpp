#include "common/FakeEngineServices.h"
#include "engine/ConversionEngine.h"
#include "engine/ConversionRunner.h"
#include "engine/EncoderOutput.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "platform/SleepInhibitor.h"
#include "queue/EncoderFailure.h"
#include "queue/ThConvertInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace tovilo;
using namespace tovilo::test;

namespace {

const QString Suffix = QStringLiteral("までの動画を変換完了");

// Records what the engine asks of the sleep inhibitor.
class FakeInhibitor : public SleepInhibitor
{
public:
    void setHeld(bool held) override
    {
        if (held != m_held)
            changes << held;
        m_held = held;
    }
    bool isHeld() const override { return m_held; }
    void sleep(bool before) { emit sleeping(before); }
    QList<bool> changes;

private:
    bool m_held = false;
};

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ThConvertInfoObjectList* m_jobs = nullptr;
    std::unique_ptr<FakeRunner> m_runnerOwner;
    FakeDesktop m_desktop;
    FakeLibrary m_library;
    std::unique_ptr<ConversionEngine> m_engine;
    QStringList m_situations;
    int m_changes = 0;
    int m_done = 0;

    FakeRunner& m_runner() const { return *m_runnerOwner; }

    QByteArray out(const QByteArray& name = {}) const
    {
        return QFile::encodeName(m_dir.filePath(QStringLiteral("out/"))) + name;
    }
    QByteArray src(const QByteArray& name) const
    {
        return QFile::encodeName(m_dir.filePath(QStringLiteral("src/"))) + name;
    }
    void add(const QByteArray& name, TConvertStatus status = csWaiting)
    {
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(src(name));
        job->Status = status;
        m_jobs->Add(std::move(job));
    }
    QList<int> statuses() const
    {
        QList<int> result;
        for (int i = 0; i < m_jobs->Count(); ++i)
            result << m_jobs->Items(i)->Status;
        return result;
    }
    // As a convert button does it: tidy, then work off what waits.
    void convertAll(bool audioOnly = false)
    {
        m_engine->purgeFinishedJobs();
        m_engine->start(audioOnly);
        QTRY_COMPARE(m_done, 1);
        QVERIFY(!m_runner().isRunning());
    }

private Q_SLOTS:
    void init()
    {
        QDir dir(m_dir.path());
        dir.removeRecursively();
        QVERIFY(dir.mkpath(QStringLiteral("out")) && dir.mkpath(QStringLiteral("src")));
        m_engine.reset();
        m_runnerOwner = std::make_unique<FakeRunner>();
        m_desktop = FakeDesktop();
        m_library = FakeLibrary();
        m_engine = std::make_unique<ConversionEngine>(*m_runnerOwner, m_desktop, m_library);
        m_jobs = &m_engine->jobs();
        m_jobs->Settings.Quality = 1;
        m_jobs->Settings.SaveDir = out();
        m_situations.clear();
        m_changes = 0;
        m_done = 0;
        connect(m_engine.get(), &ConversionEngine::situationChanged, this,
                [this](const QString& text) { m_situations << text; });
        connect(m_jobs, &ThConvertInfoObjectList::jobChanged, this, [this] { ++m_changes; });
        connect(m_engine.get(), &ConversionEngine::queueDone, this, [this] { ++m_done; });
    }

    void progressText_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("text");
        QTest::newRow("half to even, down")
            << QByteArray("size= 1kB time=2.50 bitrate= 32.8kbits/s")
            << QStringLiteral("00時間00分02秒") + Suffix;
        QTest::newRow("half to even, up") << QByteArray("time=3.50 bitrate= 32.8kbits/s")
                                          << QStringLiteral("00時間00分04秒") + Suffix;
        QTest::newRow("minutes") << QByteArray("frame=1 time=83.45 bitrate=1k")
                                 << QStringLiteral("00時間01分23秒") + Suffix;
        QTest::newRow("blanks around")
            << QByteArray("time=  3725.2  bitrate") << QStringLiteral("01時間02分05秒") + Suffix;
        QTest::newRow("no bitrate") << QByteArray("time=83.45 speed=1x") << QString();
        QTest::newRow("clock form") << QByteArray("time=00:01:23.45 bitrate=1k") << QString();
        QTest::newRow("upper case only") << QByteArray("TIME=83.45 bitrate=1k") << QString();
        QTest::newRow("no time") << QByteArray("bitrate=1k") << QString();
        QTest::newRow("not a number") << QByteArray("time=N/A bitrate=N/A") << QString();
        QTest::newRow("empty number") << QByteArray("time= bitrate=1k") << QString();
        QTest::newRow("decimal comma is no number")
            << QByteArray("time=83,45 bitrate=1k") << QString();
        QTest::newRow("mixed case finds lower")
            << QByteArray("Time=1 time=5.4 bitrate") << QStringLiteral("00時間00分05秒") + Suffix;
    }

    void progressText()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, text);
        QCOMPARE(tovilo::progressText(line), text);
        // The running job's label follows the same reading, and an unreadable line keeps it.
        emit m_runner().lineReceived("time=1.00 bitrate=1k");
        emit m_runner().lineReceived(line);
        QCOMPARE(m_situations.last(),
                 text.isNull() ? QStringLiteral("00時間00分01秒") + Suffix : text);
    }

    void progressIgnoresTheLocale()
    {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German));
        const QString text = tovilo::progressText("time=83.45 bitrate=1k");
        QLocale::setDefault(saved);
        QCOMPARE(text, QStringLiteral("00時間01分23秒") + Suffix);
    }

    void formatDuration_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << QStringLiteral("00時間00分00秒");
        QTest::newRow("83") << 83 << QStringLiteral("00時間01分23秒");
        QTest::newRow("3725") << 3725 << QStringLiteral("01時間02分05秒");
        QTest::newRow("360000") << 360000 << QStringLiteral("100時間00分00秒");
    }

    void formatDuration()
    {
        QFETCH(int, seconds);
        QFETCH(QString, text);
        QCOMPARE(tovilo::formatDuration(seconds), text);
    }

    // The queue worked off on scripted runs: which jobs run in which order, what they end as,
    // and into which names they are written.
    void queue_data()
    {
        QTest::addColumn<QList<QByteArray>>("sources");
        QTest::addColumn<QList<int>>("before");
        QTest::addColumn<QList<quint32>>("exitCodes"); // one per run
        QTest::addColumn<bool>("audioOnly");
        QTest::addColumn<QList<int>>("after");
        QTest::addColumn<QList<QByteArray>>("outputs"); // of the jobs left, in order
        QTest::addColumn<QList<QByteArray>>("written"); // files left in the output folder

        QTest::newRow("finished dropped, failed again, in order")
            << QList<QByteArray>{"done.avi", "again.avi", "next.flv", "sent.avi"}
            << QList<int>{csConverted, csFailed, csWaiting, csTransferred} << QList<quint32>{0, 0}
            << false << QList<int>{csConverted, csConverted}
            << QList<QByteArray>{"again.mp4", "next.mp4"}
            << QList<QByteArray>{"again.mp4", "next.mp4"};
        QTest::newRow("same name gets a number")
            << QList<QByteArray>{"a.avi", "a.flv", "a.mpg"} << QList<int>{0, 0, 0}
            << QList<quint32>{0, 0, 0} << false << QList<int>{csConverted, csConverted, csConverted}
            << QList<QByteArray>{"a.mp4", "a(1).mp4", "a(2).mp4"}
            << QList<QByteArray>{"a(1).mp4", "a(2).mp4", "a.mp4"};
        QTest::newRow("a failure leaves no file, and the queue goes on")
            << QList<QByteArray>{"bad.avi", "bad.mpg"} << QList<int>{0, 0} << QList<quint32>{1, 0}
            << false << QList<int>{csFailed, csConverted} << QList<QByteArray>{"bad.mp4", "bad.mp4"}
            << QList<QByteArray>{"bad.mp4"};
        QTest::newRow("audio, a name without extension")
            << QList<QByteArray>{"song", "clip.avi"} << QList<int>{0, 0} << QList<quint32>{0, 0}
            << true << QList<int>{csConverted, csConverted}
            << QList<QByteArray>{"song.mp3", "clip.mp3"}
            << QList<QByteArray>{"clip.mp3", "song.mp3"};
    }

    void queue()
    {
        QFETCH(QList<QByteArray>, sources);
        QFETCH(QList<int>, before);
        QFETCH(QList<quint32>, exitCodes);
        QFETCH(bool, audioOnly);
        QFETCH(QList<int>, after);
        QFETCH(QList<QByteArray>, outputs);
        QFETCH(QList<QByteArray>, written);
        for (int i = 0; i < sources.size(); ++i)
            add(sources[i], TConvertStatus(before[i]));
        for (quint32 code : exitCodes)
            m_runner().script.append({{"time=1.00 bitrate=1k"}, code});
        convertAll(audioOnly);
        QCOMPARE(m_runner().commands.size(), exitCodes.size());
        QCOMPARE(statuses(), after);
        QList<QByteArray> named;
        for (int i = 0; i < m_jobs->Count(); ++i)
            named << m_jobs->Items(i)->outputPath();
        QList<QByteArray> expected;
        for (const QByteArray& name : outputs)
            expected << out(name);
        QCOMPARE(named, expected);
        QList<QByteArray> files;
        for (const QString& name :
             QDir(QFile::decodeName(out())).entryList(QDir::Files, QDir::Name))
            files << QFile::encodeName(name);
        QCOMPARE(files, written);
        QCOMPARE(m_situations.last(), QString());
        QCOMPARE(m_engine->convertedCount() + m_engine->failedCount(), exitCodes.size());
    }

    // The command line is the queue's argument string behind the wrapper's name.
    void commandLine()
    {
        add("my clip \xe5\x8b\x95.avi");
        convertAll(false);
        QCOMPARE(m_runner().commands,
                 QList<QByteArray>{"lib/ffmpeg" +
                                   m_jobs->BuildArguments(src("my clip \xe5\x8b\x95.avi"),
                                                          out("my clip \xe5\x8b\x95.mp4"))});
    }

    // What a failed run printed, and the reason its row then gives.
    void failureReason_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<bool>("notStarted");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file")
            << QList<QByteArray>{"lib/ffmpeg: error: input-missing: No such file or directory"}
            << false << QStringLiteral("変換元のファイルが見つかりません");
        QTest::newRow("after ffmpeg's own lines")
            << QList<QByteArray>{"[avi @ 0x55] invalid header",
                                 "lib/ffmpeg: error: input-invalid: Invalid data"}
            << false << QStringLiteral("変換元のファイルが壊れているか、対応していない形式です");
        QTest::newRow("the last such line counts")
            << QList<QByteArray>{"lib/ffmpeg: error: other: first",
                                 "lib/ffmpeg: error: output-folder: No such file"}
            << false << QStringLiteral("保存先のフォルダーが見つかりません");
        QTest::newRow("output after the line")
            << QList<QByteArray>{"lib/ffmpeg: error: no-audio: no stream", "exiting"} << false
            << QStringLiteral("変換元のファイルに音声が含まれていません");
        QTest::newRow("other: the encoder's words")
            << QList<QByteArray>{"lib/ffmpeg: error: other: \xe5\x8b\x95\xe7\x94\xbb.avi: Invalid "
                                 "argument"}
            << false << QStringLiteral("変換に失敗しました（動画.avi: Invalid argument）");
        QTest::newRow("no failure line")
            << QList<QByteArray>{"Conversion failed!"} << false
            << QStringLiteral("変換に失敗しました（原因はわかりません）");
        QTest::newRow("not at the line's start")
            << QList<QByteArray>{"note: lib/ffmpeg: error: disk-full: x"} << false
            << QStringLiteral("変換に失敗しました（原因はわかりません）");
        QTest::newRow("encoder not started")
            << QList<QByteArray>{} << true
            << QStringLiteral("変換プログラム（FFmpeg）が見つからないか、起動できません");
        QTest::newRow("its own line wins over the start failure")
            << QList<QByteArray>{"lib/ffmpeg: error: disk-full: No space left"} << true
            << QStringLiteral("保存先のディスクに空きがありません");
    }

    void failureReason()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(bool, notStarted);
        QFETCH(QString, reason);
        add("fail.avi");
        add("good.avi");
        m_runner().script = {
            {QList<QByteArray>{"lib/ffmpeg: notice: subtitles-left-out: x"} + lines, 1, notStarted},
            {{"lib/ffmpeg: notice: subtitles-left-out: x", "lib/ffmpeg: error: other: stale"}, 0}};
        convertAll();
        QCOMPARE(statuses(), (QList<int>{csFailed, csConverted}));
        QCOMPARE(failureReasonText(m_jobs->Items(0)->EncoderError), reason);
        // A success keeps no reason but its notice, and a job put back to waiting loses its own.
        QCOMPARE(noticeText(m_jobs->Items(1)->EncoderError),
                 QStringLiteral("字幕を焼き込めなかったため、字幕なしで変換しました"));
        m_engine->purgeFinishedJobs();
        QVERIFY(m_jobs->Items(0)->EncoderError.isEmpty());
        // Converted again under its own name: the failed run left nothing behind.
        m_engine->start(false);
        QTRY_COMPARE(m_done, 2);
        QCOMPARE(statuses(), QList<int>{csConverted});
        QCOMPARE(m_jobs->Items(0)->outputPath(), out("fail.mp4"));
        QVERIFY(m_jobs->Items(0)->EncoderError.isEmpty()); // no notice of an earlier run
    }

    // Output names: whatever stands at a name takes it, nothing is written through a link,
    // and a name at the file system's limit still gets its number.
    void outputNames_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("present"); // what stands at the first choice
        QTest::addColumn<QByteArray>("output");
        const QByteArray longStem(251, 'L');
        QTest::newRow("dangling link")
            << QByteArray("a.avi") << "dangling" << QByteArray("a(1).mp4");
        QTest::newRow("link to a file") << QByteArray("a.avi") << "link" << QByteArray("a(1).mp4");
        QTest::newRow("folder") << QByteArray("a.avi") << "folder" << QByteArray("a(1).mp4");
        QTest::newRow("free") << QByteArray("a.avi") << "" << QByteArray("a.mp4");
        QTest::newRow("long name") << longStem + ".avi"
                                   << "file" << longStem.left(248) + "(1).mp4";
        QTest::newRow("long name without extension") << longStem + "LLLL"
                                                     << "" << longStem + ".mp4";
    }

    void outputNames()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, present);
        QFETCH(QByteArray, output);
        const QByteArray target = QFile::encodeName(m_dir.filePath(QStringLiteral("target.mp4")));
        const QByteArray first = out(changeFileExt(source, ".mp4"));
        if (present == QLatin1String("link"))
            QVERIFY(QFile(QFile::decodeName(target)).open(QIODevice::WriteOnly));
        if (present == QLatin1String("dangling") || present == QLatin1String("link"))
            QVERIFY(::symlink(target.constData(), first.constData()) == 0);
        else if (present == QLatin1String("folder"))
            QVERIFY(::mkdir(first.constData(), 0700) == 0);
        else if (present == QLatin1String("file"))
            QVERIFY(QFile(QFile::decodeName(first)).open(QIODevice::WriteOnly));

        add(source);
        convertAll();
        QCOMPARE(statuses(), QList<int>{csConverted});
        QCOMPARE(m_jobs->Items(0)->outputPath(), out(output));
        // Claimed before the encoder ran; whatever the link pointed at is as it was.
        QVERIFY(QFileInfo::exists(QFile::decodeName(out(output))));
        QCOMPARE(QFileInfo::exists(QFile::decodeName(target)), present == QLatin1String("link"));
    }

    // A hand-edited output folder without its "/" is joined to the name as it stands.
    void saveDirWithoutDelimiter()
    {
        m_jobs->Settings.SaveDir = out("pre-");
        add("song");
        convertAll(true);
        QCOMPARE(m_jobs->Items(0)->outputPath(), out("pre-song.mp3"));
    }

    void unwritableOutputFailsEachJob()
    {
        m_jobs->Settings.SaveDir = out("missing/");
        add("one.avi");
        add("two.avi");
        convertAll();
        QCOMPARE(statuses(), (QList<int>{csFailed, csFailed}));
        QVERIFY(m_runner().commands.isEmpty());
        QCOMPARE(failureReasonText(m_jobs->Items(1)->EncoderError),
                 QStringLiteral("保存先のフォルダーが見つかりません"));
        QCOMPARE(m_engine->failedCount(), 2);
    }

    void stopPutsTheJobBack()
    {
        add("slow.avi");
        add("after.avi");
        m_runner().script = {{{}, 0, false, true}};
        m_engine->start(false);
        emit m_runner().lineReceived("time=2.00 bitrate=1k");
        QCOMPARE(m_situations.last(), QStringLiteral("00時間00分02秒") + Suffix);
        QVERIFY(QFile::exists(QFile::decodeName(out("slow.mp4"))));
        const int changes = m_changes;

        QVERIFY(m_engine->stop());
        QVERIFY(!m_engine->stop()); // nothing runs any more
        QVERIFY(!m_engine->isCancelling());
        QCOMPARE(statuses(), (QList<int>{csWaiting, csWaiting}));
        QVERIFY(!QFile::exists(QFile::decodeName(out("slow.mp4"))));
        QCOMPARE(m_situations.last(), QString());
        QCOMPARE(m_changes, changes + 1);
        QCOMPARE(m_desktop.clears, 1);
        // The stopped run's end changed nothing and started nothing.
        QCoreApplication::processEvents();
        QCOMPARE(m_runner().commands.size(), 1);
        QCOMPARE(m_done, 0);
    }

    // Paused: the encoder's group stopped, the label says so, the machine may sleep; a sleep
    // the user asks for pauses and waking resumes; a stop while paused puts the job back.
    void pauseResumeAndSleep()
    {
        FakeInhibitor inhibitor;
        m_engine->setSleepInhibitor(inhibitor);
        QList<bool> paused;
        connect(m_engine.get(), &ConversionEngine::pausedChanged, this,
                [&paused](bool p) { paused << p; });
        QVERIFY(!m_engine->pause()); // nothing runs
        add("slow.avi");
        m_runner().script = {{{}, 0, false, true}};
        m_engine->start(false);
        QCOMPARE(inhibitor.changes, QList<bool>{true});
        emit m_runner().lineReceived("time=2.00 bitrate=1k");
        const QString progress = QStringLiteral("00時間00分02秒") + Suffix;

        QVERIFY(m_engine->pause());
        QVERIFY(!m_engine->pause());
        QCOMPARE(m_situations.last(), progress + QStringLiteral("　一時停止中"));
        QVERIFY(m_engine->resume());
        QCOMPARE(m_situations.last(), progress);
        inhibitor.sleep(true);
        QVERIFY(m_engine->isPaused());
        inhibitor.sleep(false);
        QVERIFY(!m_engine->isPaused());
        QCOMPARE(m_runner().pauses, (QList<bool>{true, false, true, false}));
        QCOMPARE(inhibitor.changes, (QList<bool>{true, false, true, false, true}));

        QVERIFY(m_engine->pause());
        QVERIFY(m_engine->stop());
        QVERIFY(!m_engine->isPaused());
        QCOMPARE(statuses(), QList<int>{csWaiting});
        QVERIFY(!QFile::exists(QFile::decodeName(out("slow.mp4"))));
        QVERIFY(!inhibitor.isHeld());
        QCOMPARE(paused, (QList<bool>{true, false, true, false, true, false}));
        // A sleep while idle pauses nothing and a wake resumes nothing.
        inhibitor.sleep(true);
        inhibitor.sleep(false);
        QVERIFY(!m_engine->isPaused());
        QCOMPARE(m_runner().commands.size(), 1);
    }

    void remainingTime_data()
    {
        QTest::addColumn<QList<double>>("positions"); // one per second worked
        QTest::addColumn<double>("length");
        QTest::addColumn<QString>("text"); // after the last position; empty: no estimate
        QTest::newRow("too early") << QList<double>{0, 2, 4} << 600.0 << QString();
        QTest::newRow("steady, twice as fast")
            << QList<double>{0, 2, 4, 6, 8, 10} << 600.0 << QStringLiteral(" 残り約5分");
        QTest::newRow("under a minute, in fives")
            << QList<double>{0, 1, 2, 3, 4, 5} << 47.0 << QStringLiteral(" 残り約45秒");
        QTest::newRow("a few seconds")
            << QList<double>{0, 1, 2, 3, 4, 5} << 6.0 << QStringLiteral(" 残り約5秒");
        QTest::newRow("hours and minutes")
            << QList<double>{0, 1, 2, 3, 4, 5} << 3905.0 << QStringLiteral(" 残り1時間5分");
        // One slow second does not throw the figure: 595 s left at a smoothed 0.84 s/s.
        QTest::newRow("a stumble is smoothed")
            << QList<double>{0, 1, 2, 3, 4, 5, 5.2} << 600.2 << QStringLiteral(" 残り約12分");
    }

    void remainingTime()
    {
        QFETCH(QList<double>, positions);
        QFETCH(double, length);
        QFETCH(QString, text);
        RemainingTime remaining;
        std::optional<double> left;
        for (int i = 0; i < positions.size(); ++i)
            left = remaining.update(positions[i], length, i);
        QCOMPARE(left ? remainingText(*left) : QString(), text);
    }

    // Another user renames the shared output folder away and puts a link to one of ours in
    // its place while the job runs: the failed or stopped job's output goes from the renamed
    // folder, and our file of the same name stays.
    void removesOnlyWhatItMade_data()
    {
        QTest::addColumn<bool>("stopped");
        QTest::newRow("failed run") << false;
        QTest::newRow("stopped run") << true;
    }

    void removesOnlyWhatItMade()
    {
        QFETCH(bool, stopped);
        const QStringList asNobody = {QStringLiteral("--reuid=nobody"),
                                      QStringLiteral("--regid=nogroup"),
                                      QStringLiteral("--clear-groups")};
        if (::geteuid() != 0 ||
            QProcess::execute(QStringLiteral("setpriv"),
                              asNobody + QStringList{QStringLiteral("true")}) != 0)
            QSKIP("needs root and setpriv to act as a second user (nobody)");
        const QString top = m_dir.filePath(QStringLiteral("top"));
        const QString shared = top + QStringLiteral("/shared");
        const QString mine = m_dir.filePath(QStringLiteral("mine"));
        QVERIFY(QDir().mkpath(shared) && QDir().mkpath(mine));
        QVERIFY(::chown(QFile::encodeName(top).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0777) == 0);
        QFile kept(mine + QStringLiteral("/movie.mp4"));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("mine") == 4);
        kept.close();
        m_jobs->Settings.SaveDir = QFile::encodeName(shared) + '/';
        add("movie.avi");
        m_runner().onStart = [&] {
            QCOMPARE(
                QProcess::execute(QStringLiteral("setpriv"),
                                  asNobody + QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                                         QStringLiteral("mv \"$1\" \"$1.old\" && "
                                                                        "ln -s \"$2\" \"$1\""),
                                                         QStringLiteral("sh"), shared, mine}),
                0);
        };
        QList<QByteArray> leftAlone;
        connect(m_engine.get(), &ConversionEngine::outputNotDeleted, this,
                [&](const QByteArray& path) { leftAlone << path; });
        if (stopped) {
            m_runner().script = {{{}, 0, false, true}};
            m_engine->start(false);
            QVERIFY(m_engine->stop());
        } else {
            m_runner().script = {{{}, 1}};
            convertAll();
        }
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("mine"));
        QVERIFY(!QFile::exists(shared + QStringLiteral(".old/movie.mp4")));
        QVERIFY(leftAlone.isEmpty());
    }

    void haltStartsNothingMore()
    {
        add("one.avi");
        add("two.avi");
        m_engine->start(false);
        m_engine->halt();
        QTRY_VERIFY(!m_runner().isRunning());
        QCoreApplication::processEvents();
        QCOMPARE(m_runner().commands.size(), 1);
        QCOMPARE(statuses(), (QList<int>{csConverted, csWaiting}));
    }

    // The queue's progress on the desktop: the share of the whole queue, jobs left counting the
    // running one, each value sent once; then a notice with the counts for a user elsewhere.
    void desktopProgress()
    {
        add("a.avi");
        add("b.avi");
        // A title tag saying "Duration:" is not the source's length.
        m_runner().script = {{{"    title           : Duration: 00:00:01.00",
                               "  Duration: 00:00:10.00, start: 0.000000, bitrate: 5 kb/s",
                               "time=5.00 bitrate=1k", "time=5.01 bitrate=1k"},
                              1},
                             {{"time=3.00 bitrate=1k"}, 0}};
        convertAll();
        QList<QPair<int, qint64>> shown;
        for (const FakeDesktop::Progress& p : m_desktop.progress)
            shown.append({qRound(p.fraction * 100), p.jobsLeft});
        QCOMPARE(shown, (QList<QPair<int, qint64>>{{0, 2}, {25, 2}, {50, 1}}));
        m_engine->endQueue(true);
        QCOMPARE(m_desktop.notices,
                 QStringList{QStringLiteral("変換が完了しました\n変換完了 1件、変換失敗 1件")});
        QCOMPARE(m_desktop.clears, 1);
    }

    void handOver_data()
    {
        QTest::addColumn<QList<int>>("before");
        QTest::addColumn<QList<QByteArray>>("outputs");
        QTest::addColumn<bool>("deviceMissing");
        QTest::addColumn<int>("failOnAdd");
        QTest::addColumn<bool>("playsNoVideo");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QList<int>>("after");
        QTest::addColumn<QStringList>("added"); // output names, in the order handed over
        QTest::addColumn<QString>("situation");
        QTest::addColumn<bool>("blank"); // the device has no library: set up when asked
        QTest::addColumn<int>("asked");  // how often the set-up question was asked
        const int t = csTransferred;
        const int c = csConverted;
        QTest::newRow("last job first, only converted ones")
            << QList<int>{c, csFailed, c, csWaiting}
            << QList<QByteArray>{"x.mp4", "f.mp4", "y.mp4", "w.mp4"} << false << -1 << false
            << int(HandOverResult::Done) << QList<int>{t, csFailed, t, csWaiting}
            << QStringList{QStringLiteral("y.mp4"), QStringLiteral("x.mp4")} << QString() << false
            << 0;
        QTest::newRow("nothing converted")
            << QList<int>{csWaiting} << QList<QByteArray>{"w.mp4"} << false << -1 << false
            << int(HandOverResult::Done) << QList<int>{csWaiting} << QStringList() << QString()
            << false << 0;
        QTest::newRow("device full on the first")
            << QList<int>{c, c} << QList<QByteArray>{"0.mp3", "1.mp3"} << false << 1 << false
            << int(HandOverResult::Failed) << QList<int>{c, c} << QStringList()
            << QStringLiteral("iPodへの転送に失敗しました") << false << 0;
        QTest::newRow("no device")
            << QList<int>{c} << QList<QByteArray>{"a.mp4"} << true << -1 << false
            << int(HandOverResult::Failed) << QList<int>{c} << QStringList()
            << QStringLiteral("iPodが見つかりません") << false << 0;
        // What went before the failure is on the device: those rows are transferred.
        QTest::newRow("device full on the third-to-last")
            << QList<int>{c, c, c, c, c}
            << QList<QByteArray>{"0.mp3", "1.mp3", "2.mp3", "3.mp3", "4.mp3"} << false << 3 << false
            << int(HandOverResult::Partial) << QList<int>{c, c, c, t, t}
            << QStringList{QStringLiteral("4.mp3"), QStringLiteral("3.mp3")}
            << QStringLiteral("iPodへの転送に失敗しました") << false << 0;
        QTest::newRow("videos refused, audio taken")
            << QList<int>{c, c} << QList<QByteArray>{"a.mp3", "v.mp4"} << false << -1 << true
            << int(HandOverResult::Partial) << QList<int>{t, c}
            << QStringList{QStringLiteral("a.mp3")}
            << QStringLiteral("このiPodは動画を再生できません") << false << 0;
        // A blank device is set up only for something to hand over, and only when allowed.
        QTest::newRow("blank, nothing to hand over: not asked")
            << QList<int>{} << QList<QByteArray>{} << false << -1 << false
            << int(HandOverResult::Failed) << QList<int>{} << QStringList()
            << QStringLiteral("iPodを初期化しなかったため転送していません") << true << 0;
        QTest::newRow("blank, set up when asked")
            << QList<int>{c} << QList<QByteArray>{"a.mp4"} << false << -1 << false
            << int(HandOverResult::Done) << QList<int>{t} << QStringList{QStringLiteral("a.mp4")}
            << QString() << true << 1;
    }

    void handOver()
    {
        QFETCH(QList<int>, before);
        QFETCH(QList<QByteArray>, outputs);
        QFETCH(bool, deviceMissing);
        QFETCH(int, failOnAdd);
        QFETCH(bool, playsNoVideo);
        QFETCH(int, outcome);
        QFETCH(QList<int>, after);
        QFETCH(QStringList, added);
        QFETCH(QString, situation);
        QFETCH(bool, blank);
        QFETCH(int, asked);
        for (int i = 0; i < before.size(); ++i) {
            add("s.avi", TConvertStatus(before[i]));
            m_jobs->Items(i)->setOutputPath(out(outputs[i]));
        }
        m_library.deviceMissing = deviceMissing;
        m_library.failOnAdd = failOnAdd;
        m_library.playsNoVideo = playsNoVideo;
        m_library.blank = blank;
        std::optional<HandOverResult> finished;
        connect(m_engine.get(), &ConversionEngine::handOverFinished, this,
                [&](const HandOverResult& r) { finished = r; });
        int questions = 0;
        m_engine->handOver().setSetUpQuestion([&] { return ++questions > 0; });
        m_engine->handOver().AddToiTunes();
        QTRY_VERIFY(finished);
        const HandOverResult result = *finished;
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(result.situation, situation);
        QCOMPARE(statuses(), after);
        QStringList names;
        for (const QString& path : m_library.added)
            names << QFileInfo(path).fileName();
        QCOMPARE(names, added);
        // The device is let go of whatever happened.
        QVERIFY(!m_engine->isHandingOver());
        QCOMPARE(questions, asked);
        if (asked > 0)
            QCOMPARE(m_library.calls.first(), QStringLiteral("initialise"));
        if (!deviceMissing && !(blank && asked == 0))
            QCOMPARE(m_library.calls.last(), QStringLiteral("release"));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
