#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeServices.h"
#include "engine/ConversionEngine.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "platform/TerminationSignals.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QSemaphore>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tovilo;
using namespace tovilo::test;

class TestDriver : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_previousCurrent;
    FakePrompt m_prompt;
    FakeShell m_shell;
    FakeLibrary m_library;
    FakeDrives m_drives;
    QStringList m_errors;
    std::unique_ptr<TFormMain> m_form;

    QString out(const QString& name) const
    {
        return m_work.filePath(QStringLiteral("out/") + name);
    }
    QString src(const QString& name) const
    {
        return m_work.filePath(QStringLiteral("src/") + name);
    }

    void add(const QString& name, TConvertStatus status = csWaiting)
    {
        ThConvertInfoObjectList& jobs = m_form->engine().jobs();
        jobs.SetStatus(*jobs.Items(jobs.AddSource(QFile::encodeName(src(name)))), status);
    }

    TPNGButton* button(const char* name) const { return control<TPNGButton>(*m_form, name); }
    QTableWidget* list() const { return control<QTableWidget>(*m_form, "ListViewConvertFile"); }
    QLabel* situation() const { return control<QLabel>(*m_form, "LblSituation"); }

    QList<TConvertStatus> statuses() const
    {
        QList<TConvertStatus> result;
        for (int i = 0; i < m_form->engine().jobs().Count(); ++i)
            result << m_form->engine().jobs().Items(i)->Status;
        return result;
    }

    QStringList encoderLog() const
    {
        QFile log(m_work.filePath(QStringLiteral("encoder.log")));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QStringList sources;
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (!line.isEmpty())
                sources << QFileInfo(QString::fromUtf8(line.split('\t').first())).fileName();
        }
        return sources;
    }

    // The process id the running encoder logged.
    pid_t encoderPid() const
    {
        QFile log(m_work.filePath(QStringLiteral("encoder.log")));
        if (!log.open(QIODevice::ReadOnly))
            return 0;
        return log.readLine().trimmed().split('\t').value(2).toInt();
    }

    void press(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }

    // The process's state letter from /proc: 'T' while stopped.
    static char processState(pid_t pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return '?';
        const QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2, 1).at(0);
    }

    bool idle() const { return button("PngBtnConvertMovie")->isEnabled(); }

private Q_SLOTS:
    void initTestCase() { m_previousCurrent = QDir::currentPath(); }

    void init()
    {
        QDir work(m_work.path());
        for (const QString& entry :
             work.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            QFileInfo(work.filePath(entry)).isDir() ? QDir(work.filePath(entry)).removeRecursively()
                                                    : QFile::remove(work.filePath(entry));
        work.mkpath(QStringLiteral("lib"));
        work.mkpath(QStringLiteral("out"));
        work.mkpath(QStringLiteral("src"));
        work.mkpath(QStringLiteral("Documents"));
        QVERIFY(
            QFile::link(QStringLiteral(FAKE_ENCODER), work.filePath(QStringLiteral("lib/ffmpeg"))));
        QVERIFY(QDir::setCurrent(m_work.path()));

        m_prompt = FakePrompt();
        m_shell = FakeShell();
        m_library = FakeLibrary();
        m_errors.clear();
        setFrameworkErrorReporter([this](const QString& text) { m_errors << text; });
        m_shell.documents = QFile::encodeName(work.filePath(QStringLiteral("Documents")));
        m_form = std::make_unique<TFormMain>(Services{m_prompt, m_shell, m_drives, m_library});
        m_form->engine().jobs().Settings.SaveDir = QFile::encodeName(out(QString()));
        m_form->engine().jobs().Settings.OpenDir = false;
    }

    void cleanup()
    {
        if (m_form && m_form->engine().isRunning())
            m_form->engine().stop();
        m_form.reset();
        QDir::setCurrent(m_previousCurrent);
    }

    // What the stand-in encoder writes before it fails, and the reason the row then shows
    // (every kind of line is read in the engine's own test).
    void failureReasonOnTheRow_data()
    {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file")
            << QByteArray("lib/ffmpeg: error: input-missing: No such file or directory\n")
            << QStringLiteral("変換元のファイルが見つかりません");
        QTest::newRow("the last such line, without a line end")
            << QByteArray("lib/ffmpeg: error: other: first\nlib/ffmpeg: error: output-folder: No "
                          "such file")
            << QStringLiteral("保存先のフォルダーが見つかりません");
    }

    void failureReasonOnTheRow()
    {
        QFETCH(QByteArray, ending);
        QFETCH(QString, reason);
        qputenv("FAKE_ENCODER_ENDING", ending);
        add(QStringLiteral("fail.avi"));
        add(QStringLiteral("good.avi"));
        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        qunsetenv("FAKE_ENCODER_ENDING");
        QCOMPARE(statuses(), (QList<TConvertStatus>{csFailed, csConverted}));
        QCOMPARE(list()->item(0, 0)->toolTip(), reason);
        QCOMPARE(list()->item(0, 1)->toolTip(), reason);
        QVERIFY(list()->item(1, 1)->toolTip().isEmpty());
        // Waiting again, the job has no reason any more.
        m_form->engine().purgeFinishedJobs();
        QVERIFY(m_form->engine().jobs().Items(0)->EncoderError.isEmpty());
        QVERIFY(list()->item(0, 1)->toolTip().isEmpty());
    }

    void convertsFailedAndWaitingInOrder()
    {
        add(QStringLiteral("done.avi"), csConverted);
        add(QStringLiteral("again.avi"), csFailed);
        add(QStringLiteral("next.flv"));
        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QCOMPARE(m_prompt.informations,
                 (QStringList{QStringLiteral(
                                  "変換完了、iTunesへの転送が完了した動画はリストから削除されます"),
                              QStringLiteral("変換が完了しました")}));
        QCOMPARE(encoderLog(),
                 (QStringList{QStringLiteral("again.avi"), QStringLiteral("next.flv")}));
        QCOMPARE(statuses(), (QList<TConvertStatus>{csConverted, csConverted}));
        QCOMPARE(m_form->engine().jobs().Items(0)->OutputFile, out(QStringLiteral("again.mp4")));
        QCOMPARE(list()->item(1, 1)->text(), QStringLiteral("変換完了"));
        QVERIFY(situation()->text().isEmpty());
        QCOMPARE(m_shell.activations, 1);
        QCOMPARE(m_errors, QStringList());
    }

    void onlyConvertedJobs()
    {
        add(QStringLiteral("done.avi"), csConverted);
        add(QStringLiteral("sent.avi"), csTransferred);
        press("PngBtnConvertMusic");
        QCOMPARE(m_prompt.informations,
                 (QStringList{QStringLiteral(
                                  "変換完了、iTunesへの転送が完了した動画はリストから削除されます"),
                              QStringLiteral("変換する動画をリストに追加してください")}));
        QCOMPARE(m_form->engine().jobs().Count(), 0);
        QVERIFY(idle());
        QVERIFY(encoderLog().isEmpty());
    }

    void stopPutsTheJobBack()
    {
        add(QStringLiteral("slow.avi"));
        add(QStringLiteral("after.avi"));
        press("PngBtnConvertMovie");
        QVERIFY(!idle());
        QTRY_VERIFY_WITH_TIMEOUT(
            situation()->text().endsWith(QStringLiteral("までの動画を変換完了")), 20000);
        QVERIFY(QFile::exists(out(QStringLiteral("slow.mp4"))));
        QCOMPARE(list()->item(0, 1)->text(), QStringLiteral("変換中"));
        // Busy: the commands are off, and neither a drop nor closing the window is taken.
        for (const char* name :
             {"PngBtnAddFile", "PngBtnAddDVD", "PngBtnListDelete", "PngBtnConfig",
              "PngBtnConvertMovie2iTunes", "PngBtnConvertMusic", "PngBtnConvertMusic2iTunes"})
            QVERIFY2(!button(name)->isEnabled(), name);
        QVERIFY(list()->isEnabled() && !list()->viewport()->acceptDrops());
        QMimeData late;
        late.setUrls({QUrl::fromLocalFile(src(QStringLiteral("late.avi")))});
        QVERIFY(!dropOn(list()->viewport(), late));
        QVERIFY(!m_form->close());
        QCOMPARE(m_prompt.informations.takeFirst(),
                 QStringLiteral("変換中は終了できません。変換を中止してから終了してください。"));

        // Paused, the encoder stands still and the label says so; resumed, it goes on; a
        // stop while paused works as any stop.
        const pid_t encoder = encoderPid();
        QVERIFY(encoder > 0);
        for (bool pausing : {true, false, true}) {
            press("PngBtnConvertPause");
            QCOMPARE(m_form->engine().isPaused(), pausing);
            QTRY_COMPARE(processState(encoder) == 'T', pausing);
            QCOMPARE(situation()->text().endsWith(QStringLiteral("一時停止中")), pausing);
        }
        QVERIFY(button("PngBtnConvertPause")->isEnabled());

        // No leaves it running.
        m_prompt.answers = {false, true};
        press("PngBtnConvertCancel");
        QVERIFY(m_form->engine().isRunning());
        press("PngBtnConvertCancel");

        QCOMPARE(m_prompt.questions,
                 (QStringList{QStringLiteral("変換を中止してよろしいですか？"),
                              QStringLiteral("変換を中止してよろしいですか？")}));
        QVERIFY(!m_form->engine().isRunning());
        QVERIFY(idle());
        QCOMPARE(statuses(), (QList<TConvertStatus>{csWaiting, csWaiting}));
        QVERIFY(!QFile::exists(out(QStringLiteral("slow.mp4"))));
        QVERIFY(situation()->text().isEmpty());
        QVERIFY(!m_form->engine().isCancelling());
        // The queue does not go on, and the stopped run's end changed nothing later.
        QTest::qWait(300);
        QCOMPARE(encoderLog(), QStringList{QStringLiteral("slow.avi")});
        QCOMPARE(statuses(), (QList<TConvertStatus>{csWaiting, csWaiting}));
        QVERIFY(m_prompt.informations.isEmpty());
        QVERIFY(m_form->close());
    }

    // Asked to end mid-conversion, the program stops the encoder and cleans up as a confirmed
    // stop does, without asking, and leaves its loop with 0.
    void terminationSignalStopsAndQuits_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("paused"); // a stopped encoder must still go
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGTERM, paused") << int(SIGTERM) << true;
        QTest::newRow("SIGHUP") << int(SIGHUP) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
    }

    void terminationSignalStopsAndQuits()
    {
        QFETCH(int, number);
        QFETCH(bool, paused);
        TerminationSignals termination;
        connect(&termination, &TerminationSignals::received, m_form.get(), &TFormMain::stopAndQuit);
        add(QStringLiteral("slow.avi"));
        add(QStringLiteral("after.avi"));
        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(!situation()->text().isEmpty(), 20000);
        const pid_t encoder = encoderPid();
        QVERIFY(encoder > 0);
        if (paused) {
            press("PngBtnConvertPause");
            QTRY_COMPARE(processState(encoder), 'T');
        }

        QTimer::singleShot(0, this, [number] { ::kill(::getpid(), number); });
        QTimer::singleShot(20000, this, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(m_prompt.questions.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(::kill(encoder, 0) != 0 && errno == ESRCH, 2000);
        QVERIFY(!QFile::exists(out(QStringLiteral("slow.mp4"))));
        QCOMPARE(statuses(), (QList<TConvertStatus>{csWaiting, csWaiting}));
        QVERIFY(idle());
        QCOMPARE(encoderLog(), QStringList{QStringLiteral("slow.avi")});
    }

    // A dropped name that is not UTF-8 is shown readably but converted from and into its
    // own bytes.
    void foreignNameKeepsItsBytes_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("invalid UTF-8")
            << QByteArray("bad\xff\xfename") << QStringLiteral("bad\uFFFD\uFFFDname.avi");
        QTest::newRow("Shift-JIS")
            << QByteArray("\x83\x72\x83\x66\x83\x49") << QStringLiteral("ビデオ.avi");
    }

    void foreignNameKeepsItsBytes()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        const QByteArray source = QFile::encodeName(src(QString())) + name + ".avi";
        const int fd = ::open(source.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        QMimeData mime;
        mime.setData(QStringLiteral("text/uri-list"),
                     "file://" + source.toPercentEncoding("/") + "\r\n");
        QVERIFY(dropOn(list()->viewport(), mime));
        QTRY_COMPARE(m_form->engine().jobs().Count(), 1);
        QCOMPARE(list()->item(0, 0)->text(), shown);

        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QCOMPARE(statuses(), QList<TConvertStatus>{csConverted});
        QFile log(m_work.filePath(QStringLiteral("encoder.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> run = log.readAll().split('\t');
        QCOMPARE(run.value(0), source);
        const QByteArray output = QFile::encodeName(out(QString())) + name + ".mp4";
        QCOMPARE(run.value(1), output);
        QVERIFY(::access(output.constData(), F_OK) == 0);
        // QDir cannot name these to clean up.
        ::unlink(output.constData());
        ::unlink(source.constData());
    }

    void missingEncoder()
    {
        QFile::remove(m_work.filePath(QStringLiteral("lib/ffmpeg")));
        add(QStringLiteral("one.avi"));
        add(QStringLiteral("two.avi"));
        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(idle() && m_errors.size() == 2, 20000);
        QCOMPARE(statuses(), (QList<TConvertStatus>{csFailed, csFailed}));
        QCOMPARE(list()->item(1, 1)->toolTip(),
                 QStringLiteral("変換プログラム（FFmpeg）が見つからないか、起動できません"));
        QVERIFY(m_errors.first().startsWith(QStringLiteral("lib/ffmpeg -y -i \"")));
        QVERIFY(m_errors.first().endsWith(QStringLiteral("\" doesn't exist.")));
        QCOMPARE(m_prompt.informations, QStringList{QStringLiteral("変換が完了しました")});
    }

    void openFolderWhenAsked()
    {
        m_form->engine().jobs().Settings.OpenDir = true;
        add(QStringLiteral("x.avi"));
        press("PngBtnConvertMovie");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QCOMPARE(m_shell.openedFolders, QStringList{out(QString())});
    }

    void handOverModeGoesIdleFirst()
    {
        m_form->engine().jobs().Settings.OpenDir = true;
        add(QStringLiteral("x.avi"));
        add(QStringLiteral("bad-fail.avi"));
        add(QStringLiteral("y.avi"));
        press("PngBtnConvertMovie2iTunes");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        // Idle and the folder opened before the hand-over has run.
        QCOMPARE(m_shell.openedFolders.size(), 1);
        QVERIFY(m_library.calls.isEmpty());
        QVERIFY(m_prompt.informations.isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(!m_prompt.informations.isEmpty(), 5000);
        QCOMPARE(m_prompt.informations,
                 QStringList{QStringLiteral("変換・iTunesへの転送が完了しました")});
        // Last job first; failed jobs are never handed over.
        QCOMPARE(m_library.added,
                 (QStringList{out(QStringLiteral("y.mp4")), out(QStringLiteral("x.mp4"))}));
        QCOMPARE(statuses(), (QList<TConvertStatus>{csTransferred, csFailed, csTransferred}));
        QCOMPARE(list()->item(0, 1)->text(), QStringLiteral("転送完了"));
        QCOMPARE(m_shell.activations, 2);
        QVERIFY(!m_form->engine().isHandingOver());
    }

    // A convert click in the second before the hand-over starts it at once, before any box,
    // and no conversion runs beside it; the window is busy until it ends.
    void convertClickWhileTheHandOverWaits()
    {
        add(QStringLiteral("x.avi"));
        press("PngBtnConvertMovie2iTunes");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QVERIFY(m_library.calls.isEmpty());
        add(QStringLiteral("y.avi"));
        bool busyWhileHandingOver = false;
        connect(&m_form->engine(), &ConversionEngine::handOverStarted, this,
                [&] { busyWhileHandingOver = !idle(); });
        press("PngBtnConvertMovie");
        QVERIFY(m_form->engine().isHandingOver() || !m_library.calls.isEmpty());
        QTRY_COMPARE(m_prompt.informations,
                     QStringList{QStringLiteral("変換・iTunesへの転送が完了しました")});
        QVERIFY(busyWhileHandingOver);
        QVERIFY(idle());
        QCOMPARE(encoderLog(), QStringList{QStringLiteral("x.avi")});
        QCOMPARE(statuses(), (QList<TConvertStatus>{csTransferred, csWaiting}));
    }

    void handOverWithoutDevice()
    {
        m_library.deviceMissing = true;
        add(QStringLiteral("a.avi"));
        press("PngBtnConvertMovie2iTunes");
        QTRY_COMPARE_WITH_TIMEOUT(situation()->text(), QStringLiteral("iPodが見つかりません"),
                                  20000);
        QCOMPARE(statuses(), QList<TConvertStatus>{csConverted});
        QVERIFY(m_prompt.informations.isEmpty());
        QCOMPARE(m_shell.activations, 0);
        QVERIFY(m_errors.isEmpty());
    }

    void handOverFailsPartWay()
    {
        for (int i = 0; i < 5; ++i)
            add(QStringLiteral("c%1.avi").arg(i));
        m_library.failOnAdd = 3; // the third-to-last job
        press("PngBtnConvertMovie2iTunes");
        QTRY_COMPARE_WITH_TIMEOUT(situation()->text(), QStringLiteral("iPodへの転送に失敗しました"),
                                  20000);
        QCOMPARE(statuses(), (QList<TConvertStatus>{csConverted, csConverted, csConverted,
                                                    csTransferred, csTransferred}));
        QVERIFY(m_prompt.informations.isEmpty());
        QCOMPARE(m_library.calls.last(), QStringLiteral("release"));
        QVERIFY(!m_form->engine().isHandingOver());
        // The two on the device show it; the situation line says why the rest are not.
        QCOMPARE(list()->item(4, 1)->text(), QStringLiteral("転送完了"));
        QCOMPARE(list()->item(2, 1)->text(), QStringLiteral("変換完了"));
        QCOMPARE(m_shell.activations, 0);
    }

    // The window stays responsive and busy while the worker hands over, shows which file is on
    // its way, and a stop ends the hand-over after that file with the database written.
    void handOverStopsAfterTheCurrentFile_data()
    {
        QTest::addColumn<bool>("terminated"); // by SIGTERM rather than 変換中止
        QTest::newRow("変換中止") << false;
        QTest::newRow("SIGTERM") << true;
    }

    void handOverStopsAfterTheCurrentFile()
    {
        QFETCH(bool, terminated);
        for (int i = 0; i < 3; ++i)
            add(QStringLiteral("c%1.avi").arg(i));
        QSemaphore fileOnItsWay;
        QSemaphore goOn;
        m_library.onAdd = [&] {
            fileOnItsWay.release();
            goOn.acquire();
        };
        press("PngBtnConvertMovie2iTunes");
        QTRY_COMPARE_WITH_TIMEOUT(fileOnItsWay.available(), 1, 20000);
        QTRY_COMPARE(situation()->text(), QStringLiteral("iPodへ転送中 1/3"));
        QVERIFY(!idle());
        QVERIFY(button("PngBtnConvertCancel")->isEnabled());
        if (terminated) {
            // The program ends only once the database is written.
            TerminationSignals termination;
            connect(&termination, &TerminationSignals::received, m_form.get(),
                    &TFormMain::stopAndQuit);
            connect(&termination, &TerminationSignals::received, this, [&] { goOn.release(3); });
            QTimer::singleShot(0, this, [] { ::kill(::getpid(), SIGTERM); });
            QTimer::singleShot(20000, this, [] { QCoreApplication::exit(99); });
            QCOMPARE(QCoreApplication::exec(), 0);
        } else {
            // Nothing to pause; the stop asks about the transfer.
            QVERIFY(!button("PngBtnConvertPause")->isEnabled());
            m_prompt.answers = {true};
            press("PngBtnConvertCancel");
            QVERIFY(m_prompt.questions.last().startsWith(QStringLiteral("iPodへの転送を中止")));
            // The job on its way is removed and another added, perhaps at its address: the
            // new one was never handed over.
            ThConvertInfoObjectList& jobs = m_form->engine().jobs();
            jobs.Delete(2);
            add(QStringLiteral("new.avi"), csConverted);
            goOn.release(3);
            QTRY_VERIFY(!m_form->engine().isHandingOver());
            QCOMPARE(situation()->text(), QStringLiteral("iPodへの転送を中止しました"));
            QVERIFY(idle());
            QCOMPARE(statuses(), (QList<TConvertStatus>{csConverted, csConverted, csConverted}));
            return;
        }
        QVERIFY(!m_form->engine().isHandingOver());
        QCOMPARE(statuses(), (QList<TConvertStatus>{csConverted, csConverted, csTransferred}));
        QCOMPARE(m_library.calls.last(), QStringLiteral("release"));
        QVERIFY(m_prompt.informations.isEmpty());
        QCOMPARE(m_shell.activations, 0);
    }

    void longQueueKeepsThreadsBounded()
    {
        for (int i = 0; i < 150; ++i)
            add(QStringLiteral("q%1.avi").arg(i));
        int maxThreads = 0;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&maxThreads] {
            maxThreads =
                std::max<int>(maxThreads, QDir(QStringLiteral("/proc/self/task")).count() - 2);
        });
        sampler.start(5);
        press("PngBtnConvertMusic");
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 120000);
        QCOMPARE(encoderLog().size(), 150);
        QVERIFY2(maxThreads < 12, qPrintable(QString::number(maxThreads)));
    }
};

QTEST_MAIN(TestDriver)
#include "tst_driver.moc"
