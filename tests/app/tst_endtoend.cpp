// The real driver with the real lib/ffmpeg wrapper and Debian's ffmpeg, on generated clips.
#include "app/AppWindows.h"
#include "common/Controls.h"
#include "common/DialogTestSupport.h"
#include "common/DvdDiscs.h"
#include "common/FakeServices.h"
#include "common/ProcessState.h"
#include "devices/MediaLibrary.h"
#include "engine/ConversionEngine.h"
#include "engine/WatchFolder.h"
#include "platform/FileSystem.h"
#include "protocol/PartialOutput.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <gpod/itdb.h>
#include <unistd.h>

using namespace tovilo;
using namespace tovilo::test;

namespace {

bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QJsonArray streams(const QString& path)
{
    QByteArray json;
    if (!run(QStringLiteral("ffprobe"),
             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_streams"),
              QStringLiteral("-of"), QStringLiteral("json"), path},
             &json))
        return {};
    return QJsonDocument::fromJson(json).object().value(QStringLiteral("streams")).toArray();
}

QJsonObject stream(const QJsonArray& all, const QString& type)
{
    for (const QJsonValue& s : all) {
        if (s.toObject().value(QStringLiteral("codec_type")).toString() == type)
            return s.toObject();
    }
    return {};
}

// "title@start in ms" of each chapter ffprobe reads in a file.
QStringList chapterMarks(const QString& path)
{
    QByteArray json;
    run(QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_chapters"),
         QStringLiteral("-of"), QStringLiteral("json"), path},
        &json);
    QStringList found;
    for (const QJsonValue& c :
         QJsonDocument::fromJson(json).object().value(QStringLiteral("chapters")).toArray()) {
        const QJsonObject chapter = c.toObject();
        found << chapter.value(QStringLiteral("tags"))
                         .toObject()
                         .value(QStringLiteral("title"))
                         .toString() +
                     QLatin1Char('@') +
                     QString::number(qRound(
                         chapter.value(QStringLiteral("start_time")).toString().toDouble() * 1000));
    }
    return found;
}

// An empty ext4 image of `mib` MiB mounted at `mountPoint`, set up as a 5.5G video iPod;
// unmounted by the guard returned.
auto mountIpod(const QString& image, const QString& mountPoint, int mib)
{
    QDir().mkpath(mountPoint);
    const bool mounted = run(QStringLiteral("truncate"),
                             {QStringLiteral("-s"), QStringLiteral("%1M").arg(mib), image}) &&
                         run(QStringLiteral("mkfs.ext4"),
                             {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-O"),
                              QStringLiteral("^has_journal"), image}) &&
                         run(QStringLiteral("mount"),
                             {QStringLiteral("-o"), QStringLiteral("loop"), image, mountPoint});
    GError* error = nullptr;
    const bool made = mounted && itdb_init_ipod(QFile::encodeName(mountPoint).constData(), "MA446",
                                                "IPOD", &error);
    g_clear_error(&error);
    return std::pair{made,
                     qScopeGuard([mountPoint] { run(QStringLiteral("umount"), {mountPoint}); })};
}

// The device's tracks as "show|season|episode" for episodes and "title|chapter@ms,..." for the
// rest.
QStringList libraryOf(const QString& mountPoint)
{
    QStringList tracks;
    Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(mountPoint).constData(), nullptr);
    for (GList* node = db ? db->tracks : nullptr; node; node = node->next) {
        const auto* track = static_cast<const Itdb_Track*>(node->data);
        if (track->mediatype == ITDB_MEDIATYPE_TVSHOW) {
            tracks << QStringLiteral("%1|%2|%3")
                          .arg(QString::fromUtf8(track->tvshow))
                          .arg(track->season_nr)
                          .arg(track->episode_nr);
            continue;
        }
        QStringList marks;
        for (GList* c = track->chapterdata ? track->chapterdata->chapters : nullptr; c;
             c = c->next) {
            const auto* chapter = static_cast<const Itdb_Chapter*>(c->data);
            marks << QString::fromUtf8(chapter->chaptertitle) + QLatin1Char('@') +
                         QString::number(chapter->startpos / 100 * 100);
        }
        tracks << QString::fromUtf8(track->title) + QLatin1Char('|') + marks.join(QLatin1Char(','));
    }
    if (db)
        itdb_free(db);
    tracks.sort();
    return tracks;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_previousCurrent;
    QString m_clip;
    QString m_discs; // one folder per kind of disc

private Q_SLOTS:
    void initTestCase()
    {
        m_previousCurrent = QDir::currentPath();
        QDir work(m_work.path());
        work.mkpath(QStringLiteral("lib"));
        QVERIFY(QFile::link(QStringLiteral(WRAPPER), work.filePath(QStringLiteral("lib/ffmpeg"))));
        work.mkpath(QStringLiteral("src"));
        m_clip = work.filePath(QStringLiteral("src/旅行 の\"思い出\".avi"));
        QVERIFY(
            run(QStringLiteral("ffmpeg"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                 QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                 QStringLiteral("testsrc=duration=4:size=320x240:rate=25"), QStringLiteral("-f"),
                 QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=duration=4"),
                 QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"),
                 QStringLiteral("mp3"), m_clip}));
        QVERIFY(QDir::setCurrent(m_work.path()));

        m_discs = work.filePath(QStringLiteral("discs"));
        QCOMPARE(makeDvdVr(m_discs + QStringLiteral("/vr")), QString());
        if (!haveDvdAuthor())
            return;
        const QString video = m_discs + QStringLiteral("/video");
        QCOMPARE(authorDvdVideo(video), QString());
        // The same disc as it reads without its key: every byte of one title scrambled.
        const QString locked = m_discs + QStringLiteral("/protected");
        for (const QString& folder : {QStringLiteral("/VIDEO_TS/"), QStringLiteral("/AUDIO_TS/")}) {
            QDir().mkpath(locked + folder);
            for (const QString& name : QDir(video + folder).entryList(QDir::Files))
                QVERIFY(QFile::copy(video + folder + name, locked + folder + name));
        }
        QVERIFY(scramble(locked + QStringLiteral("/VIDEO_TS/VTS_01_1.VOB")));
    }

    void cleanupTestCase() { QDir::setCurrent(m_previousCurrent); }

    void convertVideoWithProgress()
    {
        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        NoMediaDevice noDevice;
        FakeDesktop desktop;
        QStringList errors;
        setFrameworkErrorReporter([&errors](const QString& text) { errors << text; });
        QDir(m_work.path()).mkpath(QStringLiteral("Documents"));
        shell.documents = QFile::encodeName(m_work.filePath(QStringLiteral("Documents")));
        TFormMain form(Services{prompt, shell, drives, noDevice, desktop});
        ThConvertInfoObjectList& jobs = form.engine().jobs();
        jobs.Settings.Quality = 1;
        jobs.Settings.Ratio = 1;
        jobs.Settings.OpenDir = false;
        QStringList progress;
        jobs.AddSource(QFile::encodeName(m_clip));
        // Two that fail, each with the wrapper's reason.
        const QString broken = m_work.filePath(QStringLiteral("src/broken.avi"));
        QFile text(broken);
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a video\n") > 0);
        text.close();
        jobs.AddSource(QFile::encodeName(broken));
        jobs.AddSource(QFile::encodeName(m_work.filePath(QStringLiteral("src/missing.avi"))));

        auto* list = control<QTableWidget>(form, "ListViewConvertFile");
        auto* convert = control<TPNGButton>(form, "PngBtnConvertMovie");
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            const QString text = control<QLabel>(form, "LblSituation")->text();
            if (!text.isEmpty() && !progress.contains(text))
                progress << text;
        });
        sampler.start(1);
        QTest::mouseClick(convert, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(convert->isEnabled(), 120000);
        QCOMPARE(errors, QStringList());
        QCOMPARE(jobs.Items(0)->Status, csConverted);
        QCOMPARE(jobs.Items(1)->Status, csFailed);
        QCOMPARE(list->item(1, 1)->toolTip(),
                 QStringLiteral("変換元のファイルが壊れているか、対応していない形式です"));
        QCOMPARE(jobs.Items(2)->Status, csFailed);
        QCOMPARE(list->item(2, 1)->toolTip(), QStringLiteral("変換元のファイルが見つかりません"));
        // The clip's length came through the wrapper: its own progress moved the queue's.
        QVERIFY(std::any_of(desktop.progress.begin(), desktop.progress.end(), [](const auto& p) {
            return p.jobsLeft == 3 && p.fraction > 0.1 && p.fraction <= 1.0 / 3 + 1e-9;
        }));
        QCOMPARE(desktop.clears, 1);
        const QString output = jobs.Items(0)->OutputFile;
        QCOMPARE(output, QFile::decodeName(shell.documents) +
                             QStringLiteral("/Tovilo/旅行 の\"思い出\".mp4"));

        const QJsonArray all = streams(output);
        const QJsonObject video = stream(all, QStringLiteral("video"));
        QCOMPARE(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("mpeg4"));
        QCOMPARE(video.value(QStringLiteral("profile")).toString(),
                 QStringLiteral("Simple Profile"));
        QCOMPARE(video.value(QStringLiteral("width")).toInt(), 320);
        QCOMPARE(video.value(QStringLiteral("height")).toInt(), 180);
        QCOMPARE(video.value(QStringLiteral("r_frame_rate")).toString(), QStringLiteral("30/1"));
        const QJsonObject audio = stream(all, QStringLiteral("audio"));
        QCOMPARE(audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
        QCOMPARE(audio.value(QStringLiteral("sample_rate")).toString(), QStringLiteral("48000"));
        QCOMPARE(audio.value(QStringLiteral("channels")).toInt(), 2);
        QVERIFY2(!progress.isEmpty(), "no progress text was shown");
        for (const QString& text : progress)
            QVERIFY2(text.endsWith(QStringLiteral("までの動画を変換完了")), qPrintable(text));
        QCOMPARE(prompt.informations, QStringList{QStringLiteral("変換が完了しました")});
    }

    // Stopped, paused or killed while the decoding and the encoding ffmpeg both work, a run
    // leaves no process and no file behind; a paused run holds every process of it.
    void endsEveryStage_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("status"); // of the job afterwards
        QTest::newRow("stopped") << QStringList{QStringLiteral("stop")} << int(csWaiting);
        QTest::newRow("stopped while paused")
            << QStringList{QStringLiteral("pause"), QStringLiteral("stop")} << int(csWaiting);
        QTest::newRow("paused, resumed, stopped")
            << QStringList{QStringLiteral("pause"), QStringLiteral("resume"),
                           QStringLiteral("stop")}
            << int(csWaiting);
        QTest::newRow("decoding side killed")
            << QStringList{QStringLiteral("kill pipe:1")} << int(csFailed);
        QTest::newRow("encoding side killed")
            << QStringList{QStringLiteral("kill pipe:0")} << int(csFailed);
        QTest::newRow("wrapper terminated")
            << QStringList{QStringLiteral("terminate")} << int(csFailed);
    }

    void endsEveryStage()
    {
        QFETCH(QStringList, actions);
        QFETCH(int, status);
        // Long enough that no run ends by itself first: the clip copied over and over.
        const QString source = m_work.filePath(QStringLiteral("src/long.avi"));
        if (!QFile::exists(source))
            QVERIFY(
                run(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                     QStringLiteral("-stream_loop"), QStringLiteral("300"), QStringLiteral("-i"),
                     m_clip, QStringLiteral("-c"), QStringLiteral("copy"), source}));
        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        NoMediaDevice noDevice;
        shell.documents = QFile::encodeName(
            m_work.filePath(QStringLiteral("Documents-") + QLatin1String(QTest::currentDataTag())));
        QDir().mkpath(QString::fromUtf8(shell.documents));
        TFormMain form(Services{prompt, shell, drives, noDevice});
        ConversionEngine& engine = form.engine();
        engine.jobs().Settings.OpenDir = false;
        engine.jobs().AddSource(QFile::encodeName(source));
        QVERIFY(engine.start(false));

        // Both ffmpeg runs under the wrapper, each having used processor time.
        ProcessInfo wrapper;
        QList<ProcessInfo> stages;
        const auto look = [&] {
            stages.clear();
            for (const ProcessInfo& child : childrenOf(QCoreApplication::applicationPid())) {
                if (child.commandLine.startsWith("lib/ffmpeg "))
                    wrapper = child;
            }
            for (const ProcessInfo& child : childrenOf(wrapper.pid)) {
                if (child.commandLine.contains(" pipe:"))
                    stages.append(child);
            }
            return stages.size() == 2 && stages[0].ticks > 5 && stages[1].ticks > 5;
        };
        QTRY_VERIFY_WITH_TIMEOUT(look(), 30000);
        const auto stage = [&](const QString& pipe) {
            return stages[0].commandLine.contains(pipe.toUtf8()) ? stages[0] : stages[1];
        };
        const QList<qint64> all = {wrapper.pid, stages[0].pid, stages[1].pid};
        const auto ticks = [&] {
            return processInfo(stages[0].pid).ticks + processInfo(stages[1].pid).ticks;
        };
        for (const QString& action : actions) {
            if (action == QLatin1String("stop")) {
                QVERIFY(engine.stop());
            } else if (action == QLatin1String("pause")) {
                QVERIFY(engine.pause());
                for (qint64 pid : all)
                    QTRY_COMPARE(processInfo(pid).state, 'T');
                const qint64 before = ticks();
                QTest::qWait(300);
                QCOMPARE(ticks(), before);
            } else if (action == QLatin1String("resume")) {
                QVERIFY(engine.resume());
                const qint64 before = ticks();
                QTRY_VERIFY(ticks() > before + 5);
            } else if (action.startsWith(QLatin1String("kill "))) {
                QCOMPARE(::kill(stage(action.mid(5)).pid, SIGKILL), 0);
            } else {
                QCOMPARE(::kill(wrapper.pid, SIGTERM), 0);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isRunning(), 20000);
        for (qint64 pid : all)
            QTRY_VERIFY(processEnded(pid));
        QCOMPARE(int(engine.jobs().Items(0)->Status), status);
        QCOMPARE(QDir(QFile::decodeName(shell.documents + "/Tovilo"))
                     .entryList(QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void dvdDiscs_data()
    {
        QTest::addColumn<QString>("disc");
        QTest::addColumn<QStringList>("chapters"); // sorted
        QTest::addColumn<QStringList>("picked");
        QTest::addColumn<QList<bool>>("converts");

        const QStringList titles = {QStringLiteral("VTS_01_0"), QStringLiteral("VTS_01_1"),
                                    QStringLiteral("VTS_02_1")};
        QTest::newRow("DVD-Video")
            << "video" << titles << QStringList{QStringLiteral("VTS_01_1")} << QList<bool>{true};
        QTest::newRow("DVD-VR") << "vr" << QStringList{QStringLiteral("VR_MOVIE")}
                                << QStringList{QStringLiteral("VR_MOVIE")} << QList<bool>{true};
        // Fails, leaves nothing behind, and the queue goes on with the next title.
        QTest::newRow("copy-protected")
            << "protected" << titles
            << QStringList{QStringLiteral("VTS_01_1"), QStringLiteral("VTS_02_1")}
            << QList<bool>{false, true};
    }

    // A disc in a drive: the chapter dialog lists it, and the chapters picked there convert.
    void dvdDiscs()
    {
        QFETCH(QString, disc);
        QFETCH(QStringList, chapters);
        QFETCH(QStringList, picked);
        QFETCH(QList<bool>, converts);
        if (disc != QLatin1String("vr") && !haveDvdAuthor())
            QSKIP("dvdauthor is needed to author a DVD-Video (scripts/setup.sh installs it)");
        const QByteArray root = QFile::encodeName(m_discs + QLatin1Char('/') + disc) + '/';

        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        drives.add(root, "DISC", true);
        shell.documents = QFile::encodeName(m_work.filePath(QStringLiteral("Documents-") + disc));
        QDir().mkpath(QString::fromUtf8(shell.documents));
        NoMediaDevice noDevice;
        const Services services{prompt, shell, drives, noDevice};
        AppWindows windows(services);
        TFormMain& form = windows.formMain;
        TFormSelectDVD& dialog = windows.formSelectDVD;
        form.engine().jobs().Settings.OpenDir = false;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QStringList listed;
        const bool shown = runModal(
            &dialog,
            [&] {
                for (int row = 0; row < dialog.LBChapter->count(); ++row) {
                    QListWidgetItem* item = dialog.LBChapter->item(row);
                    listed << item->text();
                    item->setSelected(picked.contains(item->text()));
                }
                QTest::mouseClick(dialog.PngBtnOK, Qt::LeftButton);
            },
            [&] { QTest::mouseClick(control<TPNGButton>(form, "PngBtnAddDVD"), Qt::LeftButton); },
            [&] {
                dialog.CloseAllowed = true;
                dialog.done(QDialog::Rejected);
            });
        QVERIFY(shown);
        // In the order the disc's folder lists them.
        const QString folder =
            QString::fromUtf8(root) +
            (disc == QLatin1String("vr") ? QStringLiteral("DVD_RTAV") : QStringLiteral("VIDEO_TS"));
        QStringList found;
        for (const QString& name :
             QDir(folder, QStringLiteral("*.VOB *.VRO"), QDir::Unsorted, QDir::Files).entryList()) {
            if (chapters.contains(QFileInfo(name).completeBaseName()))
                found << QFileInfo(name).completeBaseName();
        }
        QCOMPARE(listed, found);
        listed.sort();
        QCOMPARE(listed, chapters);
        QCOMPARE(form.engine().jobs().Count(), picked.size());

        auto* convert = control<TPNGButton>(form, "PngBtnConvertMovie");
        QTest::mouseClick(convert, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(convert->isEnabled(), 120000);
        QStringList outputs;
        for (int i = 0; i < picked.size(); ++i) {
            const ThConvertInfoObject& job = *form.engine().jobs().Items(i);
            QCOMPARE(QFileInfo(job.SourceFile).completeBaseName(), picked[i]);
            QCOMPARE(control<QTableWidget>(form, "ListViewConvertFile")->item(i, 1)->text(),
                     converts[i] ? QStringLiteral("変換完了") : QStringLiteral("変換失敗"));
            if (!converts[i])
                continue;
            outputs << QFileInfo(job.OutputFile).fileName();
            const QJsonArray all = streams(job.OutputFile);
            const QJsonObject video = stream(all, QStringLiteral("video"));
            QCOMPARE(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("mpeg4"));
            QCOMPARE(video.value(QStringLiteral("width")).toInt(), 320);
            QCOMPARE(video.value(QStringLiteral("height")).toInt(), 240);
            QVERIFY(video.value(QStringLiteral("nb_frames")).toString().toInt() >= 50);
            QCOMPARE(stream(all, QStringLiteral("audio")).value(QStringLiteral("codec_name")),
                     QStringLiteral("aac"));
            // A DVD-Video title's chapters, from its IFO.
            QStringList titles;
            for (const QString& chapter : chapterMarks(job.OutputFile))
                titles << chapter.section(u'@', 0, 0);
            const QStringList expected = {QStringLiteral("チャプター 1"),
                                          QStringLiteral("チャプター 2")};
            QCOMPARE(titles, disc == QLatin1String("vr") ? QStringList() : expected);
        }
        // Nothing but the finished files is left behind.
        QCOMPARE(QDir(QFile::decodeName(shell.documents + "/Tovilo")).entryList(QDir::Files),
                 outputs);
    }

    void handOverToADevice()
    {
        QTemporaryDir device;
        GError* error = nullptr;
        QVERIFY(
            itdb_init_ipod(QFile::encodeName(device.path()).constData(), nullptr, "Test", &error));
        IpodLibraryFactory library =
            IpodLibraryFactory::withMountPoints({QFile::encodeName(device.path())});

        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        shell.documents = QFile::encodeName(m_work.filePath(QStringLiteral("Documents2")));
        QDir().mkpath(QString::fromUtf8(shell.documents));
        TFormMain form(Services{prompt, shell, drives, library});
        form.engine().jobs().Settings.OpenDir = false;
        form.engine().jobs().AddSource(QFile::encodeName(m_clip));
        form.engine().jobs().AddSource(QFile::encodeName(m_clip));
        QTest::mouseClick(control<TPNGButton>(form, "PngBtnConvertMusic2iTunes"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(prompt.informations,
                                  QStringList{QStringLiteral("変換・iTunesへの転送が完了しました")},
                                  120000);
        QCOMPARE(form.engine().jobs().Items(0)->Status, csTransferred);
        QCOMPARE(form.engine().jobs().Items(1)->Status, csTransferred);

        Itdb_iTunesDB* db = itdb_parse(QFile::encodeName(device.path()).constData(), &error);
        QVERIFY(db);
        QCOMPARE(int(itdb_tracks_number(db)), 2);
        for (GList* node = db->tracks; node; node = node->next) {
            auto* track = static_cast<Itdb_Track*>(node->data);
            gchar* path = itdb_filename_on_ipod(track);
            QVERIFY(path && QFile::exists(QString::fromUtf8(path)));
            g_free(path);
            QVERIFY(track->tracklen > 3000);
        }
        itdb_free(db);
    }

    // A watched folder: a recording written for 20 s is converted once, whole, after it is
    // complete; one moved in complete is too; what was there at first and, after a restart,
    // what was taken before are not. Runs it starts end with no box.
    void watchedFolder()
    {
        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        NoMediaDevice noDevice;
        FakeDesktop desktop;
        const QString watched = m_work.filePath(QStringLiteral("watched"));
        const QString data = m_work.filePath(QStringLiteral("Documents4/Tovilo"));
        QVERIFY(QDir().mkpath(watched) && QDir().mkpath(data));
        QVERIFY(QFile::copy(m_clip, watched + QStringLiteral("/old.avi")));
        QFile ini(data + QStringLiteral("/config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[CONF]\nQUALITY=4\nOPENDIR=0\nWATCHMODE=1\nWATCHDIR=" +
                  QFile::encodeName(watched) + "\n");
        ini.close();
        shell.documents = QFile::encodeName(QFileInfo(data).path());
        Services services{prompt, shell, drives, noDevice, desktop};
        services.keepQueue = true;
        QFile clip(m_clip);
        QVERIFY(clip.open(QIODevice::ReadOnly));
        const QByteArray recording = clip.readAll();
        {
            TFormMain form(services);
            ThConvertInfoObjectList& jobs = form.engine().jobs();
            QElapsedTimer clock;
            clock.start();
            qint64 lastWrite = 0;
            qint64 added = -1;
            connect(&jobs, &ThConvertInfoObjectList::jobsAdded, this,
                    [&] { added = added < 0 ? clock.elapsed() : added; });
            // The recorder writes its file in twenty pieces, one a second, closing it each time.
            for (int piece = 0; piece < 20; ++piece) {
                QFile file(watched + QStringLiteral("/rec.avi"));
                QVERIFY(file.open(QIODevice::Append));
                file.write(recording.mid(piece * recording.size() / 20, recording.size() / 20 + 1));
                file.close();
                lastWrite = clock.elapsed();
                QTest::qWait(1000);
            }
            QTRY_COMPARE_WITH_TIMEOUT(jobs.Count(), 1, 30000);
            QVERIFY2(added - lastWrite >= 9000, qPrintable(QString::number(added - lastWrite)));
            QTRY_COMPARE_WITH_TIMEOUT(jobs.Items(0)->Status, csConverted, 60000);
            QVERIFY(QFile::copy(m_clip, m_work.filePath(QStringLiteral("moved.avi"))));
            QVERIFY(QFile::rename(m_work.filePath(QStringLiteral("moved.avi")),
                                  watched + QStringLiteral("/moved.avi")));
            QTRY_VERIFY_WITH_TIMEOUT(jobs.Count() == 1 && jobs.Items(0)->Status == csConverted &&
                                         jobs.Items(0)->sourcePath().endsWith("moved.avi"),
                                     60000);
            QCOMPARE(prompt.informations, QStringList());
            QVERIFY(!desktop.notices.isEmpty());
            form.watchFolder()->flush();
        }
        // Restarted: nothing again.
        TFormMain form(services);
        QTest::qWait(12000);
        const ThConvertInfoObjectList& jobs = form.engine().jobs();
        QCOMPARE(jobs.Count(), 1);
        QCOMPARE(jobs.Items(0)->Status, csConverted);
        QCOMPARE(QDir(data).entryList({QStringLiteral("*.mp4")}),
                 (QStringList{QStringLiteral("moved.mp4"), QStringLiteral("rec.mp4")}));
    }

    // What lands on the iPod is a library: episodes of each show by season and episode, a film
    // with its chapters in the file and in the database; the same episodes once only; on a
    // full iPod what fits goes, and the rest says why.
    void handOverALibrary()
    {
        if (geteuid() != 0)
            QSKIP("mounts loop images (needs root)");
        const QString dir = m_work.filePath(QStringLiteral("library"));
        QDir().mkpath(dir + QStringLiteral("/src"));
        const QString metadata = dir + QStringLiteral("/chapters.txt");
        QFile chapterFile(metadata);
        QVERIFY(chapterFile.open(QIODevice::WriteOnly));
        chapterFile.write(
            ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Opening\n"
            "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=3000\n");
        chapterFile.close();
        const QStringList names = {
            QStringLiteral("20241005_2300_ドラマ 第2話「再会」[字].ts"),
            QStringLiteral("Show.Name.S01E02.720p.mkv"), QStringLiteral("Film (2001).mkv"),
            QStringLiteral("ドラマ 第一話.ts"), QStringLiteral("Show.Name.S01E01.720p.mkv")};
        for (const QString& name : names) {
            QStringList args =
                QStringLiteral("-v error -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 "
                               "-f lavfi -i sine=duration=3")
                    .split(u' ');
            if (name.startsWith(QLatin1String("Film")))
                args << QStringLiteral("-i") << metadata << QStringLiteral("-map_chapters")
                     << QStringLiteral("2");
            QVERIFY(run(QStringLiteral("ffmpeg"),
                        args + QStringList{QStringLiteral("-c:v"), QStringLiteral("mpeg4"),
                                           QStringLiteral("-c:a"), QStringLiteral("mp2"),
                                           dir + QStringLiteral("/src/") + name}));
        }
        const QString ipod = dir + QStringLiteral("/IPOD");
        const auto [mounted, unmount] = mountIpod(dir + QStringLiteral("/ipod.img"), ipod, 64);
        QVERIFY(mounted);

        FakePrompt prompt;
        FakeShell shell;
        FakeDrives drives;
        shell.documents = QFile::encodeName(dir + QStringLiteral("/Documents"));
        QDir().mkpath(QString::fromUtf8(shell.documents));
        IpodLibraryFactory library = IpodLibraryFactory::withMountPoints({QFile::encodeName(ipod)});
        TFormMain form(Services{prompt, shell, drives, library});
        ThConvertInfoObjectList& jobs = form.engine().jobs();
        jobs.Settings.OpenDir = false;
        jobs.Settings.Quality = 3;
        const QString done = QStringLiteral("変換・iTunesへの転送が完了しました");
        for (int round = 1; round <= 2; ++round) {
            for (const QString& name : names)
                jobs.AddSource(QFile::encodeName(dir + QStringLiteral("/src/") + name));
            QTest::mouseClick(control<TPNGButton>(form, "PngBtnConvertMovie2iTunes"),
                              Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(prompt.informations.count(done), round, 120000);
            QCOMPARE(jobs.Count(), names.size());
            // Once there, the same episodes and film are not added again.
            const QString note = round == 1 ? QString() : QStringLiteral("すでにiPodにあります");
            for (int i = 0; i < jobs.Count(); ++i) {
                QCOMPARE(jobs.Items(i)->Status, csTransferred);
                QCOMPARE(control<QTableWidget>(form, "ListViewConvertFile")->item(i, 1)->toolTip(),
                         note);
            }
            QCOMPARE(libraryOf(ipod),
                     (QStringList{QStringLiteral("Film|Opening@0,チャプター 2@1500"),
                                  QStringLiteral("Show Name|1|1"), QStringLiteral("Show Name|1|2"),
                                  QStringLiteral("ドラマ|1|1"), QStringLiteral("ドラマ|1|2")}));
            if (round == 1)
                QCOMPARE(chapterMarks(jobs.Items(2)->OutputFile),
                         (QStringList{QStringLiteral("Opening@0"),
                                      QStringLiteral("チャプター 2@1500")}));
        }

        // A small iPod: the first and the third file fit, the second does not.
        const QString small = dir + QStringLiteral("/SMALL");
        const auto [smallMounted, smallUnmount] =
            mountIpod(dir + QStringLiteral("/small.img"), small, 48);
        QVERIFY(smallMounted);
        IpodLibraryFactory smallLibrary =
            IpodLibraryFactory::withMountPoints({QFile::encodeName(small)});
        FakePrompt smallPrompt;
        TFormMain smallForm(Services{smallPrompt, shell, drives, smallLibrary});
        const qint64 free = QStorageInfo(small).bytesAvailable();
        for (const qint64 size : {free * 45 / 100, free * 45 / 100, free * 5 / 100}) {
            const QString file =
                dir + QStringLiteral("/film%1.mp4").arg(smallForm.engine().jobs().Count());
            QFile junk(file);
            QVERIFY(junk.open(QIODevice::WriteOnly) && junk.resize(size));
            auto job = std::make_unique<ThConvertInfoObject>();
            job->OutputFile = file;
            job->Status = csConverted;
            smallForm.engine().jobs().Add(std::move(job));
        }
        QStringList labels;
        connect(&smallForm.engine(), &ConversionEngine::situationChanged, this,
                [&](const QString& text) { labels << text; });
        smallForm.engine().handOver().AddToiTunes();
        QTRY_COMPARE_WITH_TIMEOUT(
            smallPrompt.informations,
            QStringList{done +
                        QStringLiteral("\niPodの空き容量が足りないため、1件は転送していません")},
            60000);
        ThConvertInfoObjectList& smallJobs = smallForm.engine().jobs();
        QCOMPARE(smallJobs.Items(0)->Status, csTransferred);
        QCOMPARE(smallJobs.Items(1)->Status, csConverted);
        QCOMPARE(smallJobs.Items(2)->Status, csTransferred);
        const QString reason =
            control<QTableWidget>(smallForm, "ListViewConvertFile")->item(1, 1)->toolTip();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^iPodの空き容量が足りません（あと約\\d+MB必要です）$"))
                     .match(reason)
                     .hasMatch(),
                 qPrintable(reason));
        QVERIFY2(labels.contains(
                     QStringLiteral("iPodへ転送中 1/2（空き容量が足りない1件は転送しません）")),
                 qPrintable(labels.join(u'|')));
        // Nothing half-copied: the device holds the two files its database lists.
        QCOMPARE(libraryOf(small).size(), 2);
        QDirIterator onDevice(small + QStringLiteral("/iPod_Control/Music"), QDir::Files,
                              QDirIterator::Subdirectories);
        int copies = 0;
        for (; onDevice.hasNext(); onDevice.next())
            ++copies;
        QCOMPARE(copies, 2);
    }

    // The program itself, started over a queue kept by a run that was cut short: the partial
    // file and the empty reservation of the job it was converting go; a finished film that
    // the kept queue still calls converting (a queue back from a backup), a folder of the
    // user's in the temporary folder that looks like a scratch folder, and everything outside
    // the program's own marked scratch folders stay.
    void startOverAKeptQueue()
    {
        const QString root = m_work.filePath(QStringLiteral("restart"));
        const QString data = root + QStringLiteral("/home/Documents/Tovilo/");
        const QString scratch = root + QStringLiteral("/cache/tovilo/scratch/Tovilo-old123");
        for (const QString& folder : {data, root + QStringLiteral("/tmp/Tovilo-videos"), scratch})
            QVERIFY(QDir().mkpath(folder));
        const auto write = [](const QString& path, const QByteArray& bytes) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write(root + QStringLiteral("/tmp/Tovilo-videos/film.mp4"), "the user's film"));
        QVERIFY(write(scratch + QStringLiteral("/.tovilo-scratch"), ""));
        for (const QString& folder :
             {QStringLiteral("/cache/tovilo"), QStringLiteral("/cache/tovilo/scratch")})
            QVERIFY(QFile::setPermissions(root + folder, QFileDevice::ReadOwner |
                                                             QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner));
        QVERIFY(write(data + QStringLiteral("finished.mp4"), "a finished film"));
        QVERIFY(write(data + QStringLiteral("cut.mp4"), ""));
        QJsonArray jobs;
        QStringList partials;
        for (const QString& name : {QStringLiteral("finished"), QStringLiteral("cut")}) {
            const QString output = data + name + QStringLiteral(".mp4");
            const std::optional<FileFacts> facts = pathFacts(QFile::encodeName(output));
            QVERIFY(facts);
            partials << data + QString::fromStdString(partialOutputName(facts->inode));
            QVERIFY(write(partials.last(), "half"));
            jobs.append(QJsonObject{
                {QStringLiteral("source"), m_clip},
                {QStringLiteral("status"), csConverting},
                {QStringLiteral("output"), output},
                {QStringLiteral("device"), QString::number(facts->device)},
                {QStringLiteral("inode"), QString::number(facts->inode)},
                {QStringLiteral("modified"),
                 QString::number(name == QStringLiteral("cut") ? facts->modifiedNs
                                                               : facts->modifiedNs - 1)}});
        }
        QVERIFY(write(data + QStringLiteral("queue.json"),
                      QJsonDocument(QJsonObject{{QStringLiteral("version"), 1},
                                                {QStringLiteral("jobs"), jobs}})
                          .toJson()));

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
        environment.insert(QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.remove(QStringLiteral("XDG_DOCUMENTS_DIR"));
        environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TOVILO_BINARY_DIR "/tovilo"), {});
        QVERIFY(program.waitForStarted());
        // The queue is written back with both jobs waiting once the start is done.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QFile kept(data + QStringLiteral("queue.json"));
                return kept.open(QIODevice::ReadOnly) && !kept.readAll().contains("inode");
            }(),
            20000);
        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);

        QVERIFY(QFileInfo::exists(data + QStringLiteral("finished.mp4")));
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("cut.mp4")));
        QVERIFY(!QFileInfo::exists(partials[0]) && !QFileInfo::exists(partials[1]));
        QVERIFY(QFileInfo::exists(root + QStringLiteral("/tmp/Tovilo-videos/film.mp4")));
        QVERIFY(!QFileInfo::exists(scratch));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
