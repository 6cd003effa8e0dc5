#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeServices.h"
#include "engine/ConversionEngine.h"
#include "engine/EncoderOutput.h"
#include "engine/QueueSettings.h"
#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/DesktopIntegration.h"
#include "ui/FrameworkError.h"
#include "ui/Layout.h"
#include "ui/QtServices.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

using namespace tovilo;
using namespace tovilo::test;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    FakePrompt m_prompt;
    FakeShell m_shell;
    FakeDrives m_drives;
    NoMediaDevice m_noDevice;
    QStringList m_errors;

    Services services() { return Services{m_prompt, m_shell, m_drives, m_noDevice}; }
    QString dataDir() const { return m_home.filePath(QStringLiteral("Documents/Tovilo")); }
    QString configPath() const { return dataDir() + QStringLiteral("/config.ini"); }
    QByteArray dataFolder() const { return QFile::encodeName(dataDir()) + '/'; }

    void writeConfig(const QByteArray& contents)
    {
        QDir().mkpath(dataDir());
        QFile file(configPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
    }

    static QTableWidget* list(const TFormMain& form)
    {
        return control<QTableWidget>(form, "ListViewConvertFile");
    }
    static TPNGButton* button(const TFormMain& form, const char* name)
    {
        return control<TPNGButton>(form, name);
    }

    QStringList rows(const TFormMain& form)
    {
        QStringList result;
        for (int i = 0; i < list(form)->rowCount(); ++i)
            result << list(form)->item(i, 0)->text() + QLatin1Char('|') +
                          list(form)->item(i, 1)->text();
        return result;
    }

    bool drop(TFormMain& form, const QList<QUrl>& urls)
    {
        QMimeData mime;
        mime.setUrls(urls);
        return dropOn(list(form)->viewport(), mime);
    }

    void selectRows(TFormMain& form, const QList<int>& indices)
    {
        list(form)->clearSelection();
        for (int row : indices)
            list(form)->selectionModel()->select(list(form)->model()->index(row, 0),
                                                 QItemSelectionModel::Select |
                                                     QItemSelectionModel::Rows);
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_home.path()).removeRecursively();
        QDir().mkpath(m_home.filePath(QStringLiteral("Documents")));
        m_prompt = FakePrompt();
        m_shell = FakeShell();
        m_shell.documents = QFile::encodeName(m_home.filePath(QStringLiteral("Documents")));
        m_errors.clear();
        setFrameworkErrorReporter([this](const QString& text) { m_errors << text; });
    }

    void firstRunUsesDefaultsAndWritesNothing()
    {
        TFormMain form(services());
        QVERIFY(QFileInfo(dataDir()).isDir());
        QVERIFY(QDir(dataDir()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QCOMPARE(form.engine().jobs().Settings.Quality, 1);
        QCOMPARE(form.engine().jobs().Settings.Ratio, 0);
        QCOMPARE(form.engine().jobs().Settings.SaveDir, dataFolder());
        QCOMPARE(form.engine().jobs().Settings.OpenDir, true);
        QCOMPARE(form.windowTitle(), QStringLiteral("Tovilo"));
        QCOMPARE(form.size(), tovilo::layout::mainWindow::clientSize);
        // Idle: the eight commands enabled, stop disabled, drops accepted.
        QVERIFY(button(form, "PngBtnConvertMovie")->isEnabled());
        QVERIFY(!button(form, "PngBtnConvertCancel")->isEnabled());
        QVERIFY(!button(form, "PngBtnConvertPause")->isEnabled());
        QVERIFY(list(form)->viewport()->acceptDrops());
        QCOMPARE(list(form)->horizontalHeaderItem(0)->text(), QStringLiteral("ファイル名"));
        QCOMPARE(list(form)->horizontalHeaderItem(1)->text(), QStringLiteral("状態"));
    }

    void documentsFolderEndingInDelimiter()
    {
        m_shell.documents = QFile::encodeName(m_home.path()) + "/";
        TFormMain form(services());
        QTest::mouseClick(button(form, "PngBtnAddFile"), Qt::LeftButton);
        QCOMPARE(m_shell.chooserFolders, QStringList{m_home.path() + QStringLiteral("/")});
        QCOMPARE(form.engine().jobs().Settings.SaveDir,
                 QFile::encodeName(m_home.path()) + "/Tovilo/");
        // An existing data folder and its contents are left alone.
        QFile marker(m_home.filePath(QStringLiteral("Tovilo/keep")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        TFormMain again(services());
        QVERIFY(marker.exists());
    }

    void loadSettings_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("ratio");
        QTest::addColumn<QByteArray>("saveDir");
        QTest::addColumn<bool>("openDir");
        QTest::addColumn<QByteArray>("savedOpenDir");

        QTest::newRow("all set") << QByteArray(
                                        "[CONF]\nQUALITY=3\nRAITO=1\nSAVEDIR=/v/\nOPENDIR=0\n")
                                 << 3 << 1 << QByteArray("/v/") << false << QByteArray("0");
        QTest::newRow("opendir yes is default") << QByteArray("[CONF]\nOPENDIR=yes\n") << 1 << 0
                                                << QByteArray() << true << QByteArray("1");
        QTest::newRow("opendir 2 written back as 1") << QByteArray("[CONF]\nOPENDIR=2\n") << 1 << 0
                                                     << QByteArray() << true << QByteArray("1");
        QTest::newRow("quality hex") << QByteArray("[conf]\nquality=0x03\n") << 3 << 0
                                     << QByteArray() << true << QByteArray("1");
        QTest::newRow("quality 258 keeps low byte") << QByteArray("[CONF]\nQUALITY=258\n") << 2 << 0
                                                    << QByteArray() << true << QByteArray("1");
        QTest::newRow("quality 7 kept") << QByteArray("[CONF]\nQUALITY=7\n") << 7 << 0
                                        << QByteArray() << true << QByteArray("1");
        QTest::newRow("empty quality") << QByteArray("[CONF]\nQUALITY=\n") << 1 << 0 << QByteArray()
                                       << true << QByteArray("1");
        // Hand-edited folders: the missing "/" is added; empty or relative ones are not used.
        QTest::newRow("save folder without slash")
            << QByteArray("[CONF]\nSAVEDIR=/v/out\n") << 1 << 0 << QByteArray("/v/out/") << true
            << QByteArray("1");
        QTest::newRow("empty save folder") << QByteArray("[CONF]\nSAVEDIR=\n") << 1 << 0
                                           << QByteArray() << true << QByteArray("1");
        // Cut to the line limit it would name a folder part-way along the path.
        QTest::newRow("save folder too long") << "[CONF]\nSAVEDIR=/" + QByteArray(2100, 'a') + "/\n"
                                              << 1 << 0 << QByteArray() << true << QByteArray("1");
        QTest::newRow("relative save folder") << QByteArray("[CONF]\nSAVEDIR=../\n") << 1 << 0
                                              << QByteArray() << true << QByteArray("1");
        QTest::newRow("japanese save folder")
            << QByteArray("[CONF]\nSAVEDIR=/home/u/\xe3\x83\x93\xe3\x83\x87\xe3\x82\xaa/\n") << 1
            << 0 << QByteArray("/home/u/\xe3\x83\x93\xe3\x83\x87\xe3\x82\xaa/") << true
            << QByteArray("1");
    }

    void loadSettings()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, quality);
        QFETCH(int, ratio);
        QFETCH(QByteArray, saveDir);
        QFETCH(bool, openDir);
        QFETCH(QByteArray, savedOpenDir);
        writeConfig(contents);
        TFormMain form(services());
        QCOMPARE(int(form.engine().jobs().Settings.Quality), quality);
        QCOMPARE(int(form.engine().jobs().Settings.Ratio), ratio);
        QCOMPARE(form.engine().jobs().Settings.SaveDir, saveDir.isEmpty() ? dataFolder() : saveDir);
        QCOMPARE(form.engine().jobs().Settings.OpenDir, openDir);

        saveQueueSettings(form.engine().jobs(), dataFolder());
        TFormMain reread(services());
        QCOMPARE(reread.engine().jobs().Settings.SaveDir, form.engine().jobs().Settings.SaveDir);
        QVERIFY(readAll(configPath()).contains("OPENDIR=" + savedOpenDir));
        QVERIFY(readAll(configPath()).contains("QUALITY=" + QByteArray::number(quality & 0xFF)));
    }

    // The video format: 1 is H.264, anything else (missing, earlier versions, hand edits) MPEG-4.
    void videoFormatSetting_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("codec");
        QTest::addColumn<int>("subtitle");
        QTest::newRow("earlier version") << QByteArray("[CONF]\nQUALITY=2\n") << 0 << 0;
        QTest::newRow("h264") << QByteArray("[CONF]\nCODEC=1\n") << 1 << 0;
        QTest::newRow("mpeg4") << QByteArray("[CONF]\nCODEC=0\n") << 0 << 0;
        QTest::newRow("out of range") << QByteArray("[CONF]\nCODEC=257\nSUBTITLE=257\n") << 0 << 0;
        QTest::newRow("not a number") << QByteArray("[CONF]\nCODEC=x264\nSUBTITLE=ja\n") << 0 << 0;
        QTest::newRow("subtitles") << QByteArray("[CONF]\nSUBTITLE=1\n") << 0 << 1;
    }

    void videoFormatSetting()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, codec);
        QFETCH(int, subtitle);
        writeConfig(contents);
        TFormMain form(services());
        QCOMPARE(int(form.engine().jobs().Settings.Codec), codec);
        QCOMPARE(int(form.engine().jobs().Settings.Subtitle), subtitle);
        saveQueueSettings(form.engine().jobs(), dataFolder());
        QVERIFY(readAll(configPath()).contains("CODEC=" + QByteArray::number(codec) + "\n"));
        QVERIFY(readAll(configPath()).contains("SUBTITLE=" + QByteArray::number(subtitle) + "\n"));
    }

    void saveSettingsWritesInOrder()
    {
        TFormMain form(services());
        form.engine().jobs().Settings.Quality = 4;
        form.engine().jobs().Settings.Ratio = 1;
        form.engine().jobs().Settings.SaveDir = "/media/x/Video/";
        form.engine().jobs().Settings.OpenDir = false;
        saveQueueSettings(form.engine().jobs(), dataFolder());
        QCOMPARE(readAll(configPath()),
                 QByteArray("[CONF]\nQUALITY=4\nRAITO=1\nSAVEDIR=/media/x/Video/\nOPENDIR=0\n"
                            "CODEC=0\nSUBTITLE=0\nWATCHDIR=\nWATCHMODE=0\n"));
    }

    // Nothing of a refused save is written: an unwritable file, or a folder too long to keep.
    void saveSettingsFailureReachesTheErrorBox_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QByteArray>("saveDir");
        QTest::addColumn<QString>("error");
        QTest::newRow("read-only file")
            << true << QByteArray("/v/") << configPath() + QStringLiteral(" に書き込めません.");
        QTest::newRow("folder too long") << false << "/" + QByteArray(2100, 'd') + "/"
                                         << saveDirUnsavableText() + QLatin1Char('.');
    }

    void saveSettingsFailureReachesTheErrorBox()
    {
        QFETCH(bool, readOnly);
        QFETCH(QByteArray, saveDir);
        QFETCH(QString, error);
        writeConfig("[CONF]\nQUALITY=1\n");
        if (readOnly)
            QVERIFY(::chmod(QFile::encodeName(configPath()).constData(), 0444) == 0);
        TFormMain form(services());
        form.engine().jobs().Settings.Quality = 3;
        form.engine().jobs().Settings.SaveDir = saveDir;
        guarded([&] { saveQueueSettings(form.engine().jobs(), dataFolder()); })();
        QCOMPARE(m_errors, QStringList{error});
        QCOMPARE(form.engine().jobs().Settings.Quality, 3); // the dialog's values stay
        QCOMPARE(readAll(configPath()), QByteArray("[CONF]\nQUALITY=1\n"));
        ::chmod(QFile::encodeName(configPath()).constData(), 0644);
    }

    // Every text the status label shows is readable at its real size: ours fit, and a path
    // too long loses its middle, whole in the tooltip. Both start-up notices are seen.
    void situationTextsAreReadable()
    {
        QStringList ours = {progressTextAt(359999) + remainingText(5400),
                            progressTextAt(359999) + QStringLiteral("　") + pausedText(),
                            handOverProgressText(999, 999),
                            handOverStoppedText(),
                            removingDeviceText(),
                            removalText(std::nullopt),
                            queueNotRestoredText()};
        for (int f = 0; f <= int(MediaFailure::ForeignFolder); ++f)
            ours << mediaFailureText(MediaFailure(f));
        for (int f = 0; f <= int(RemovalFailure::StillPowered); ++f)
            ours << removalText(RemovalFailure(f));
        TFormMain form(services());
        form.show();
        auto* label = control<QLabel>(form, "LblSituation");
        QCOMPARE(label->geometry(), layout::mainWindow::situation);
        for (const QString& text : std::as_const(ours)) {
            emit form.engine().situationChanged(text);
            QCOMPARE(label->text(), text);
            QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->width(),
                     qPrintable(text));
            QVERIFY(label->toolTip().isEmpty());
        }

        writeConfig("[CONF]\nSAVEDIR=/" + QByteArray(2100, 'd') + "/\n");
        QVERIFY(QDir().mkpath(QFile::decodeName(dataFolder())));
        QFile broken(QFile::decodeName(dataFolder() + "queue.json"));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("{") == 1);
        broken.close();
        Services keeping = services();
        keeping.keepQueue = true;
        TFormMain started(keeping);
        started.show();
        auto* notice = control<QLabel>(started, "LblSituation");
        const QString whole = saveDirTooLongText(dataFolder());
        QCOMPARE(notice->toolTip().isEmpty(),
                 notice->fontMetrics().horizontalAdvance(whole) <= notice->width());
        QCOMPARE(notice->toolTip().isEmpty() ? notice->text() : notice->toolTip(), whole);
        QVERIFY(notice->fontMetrics().horizontalAdvance(notice->text()) <= notice->width());
        QTRY_COMPARE_WITH_TIMEOUT(notice->text(), queueNotRestoredText(), 12000);
        // A folder no label holds whole.
        emit started.engine().situationChanged(
            saveDirTooLongText("/" + QByteArray(300, 'x') + "/"));
        QVERIFY(notice->text().contains(QChar(0x2026)));
        QVERIFY(notice->toolTip().endsWith(QStringLiteral(" に保存します")));
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("warnings");

        QTest::newRow("one of three supported")
            << QStringList{QStringLiteral("/v/a.txt"), QStringLiteral("/v/clip.avi"),
                           QStringLiteral("/v/b.doc")}
            << QStringList{QStringLiteral("clip.avi|変換待ち")} << 1;
        QTest::newRow("letter case")
            << QStringList{QStringLiteral("/v/clip.Avi"), QStringLiteral("/v/CLIP.MPEG"),
                           QStringLiteral("/v/x.3gp"),    QStringLiteral("/v/y.vob"),
                           QStringLiteral("/v/z.Flv"),    QStringLiteral("/v/w.mpg")}
            << QStringList{QStringLiteral("clip.Avi|変換待ち"),
                           QStringLiteral("CLIP.MPEG|変換待ち"),
                           QStringLiteral("x.3gp|変換待ち"),
                           QStringLiteral("y.vob|変換待ち"),
                           QStringLiteral("z.Flv|変換待ち"),
                           QStringLiteral("w.mpg|変換待ち")}
            << 0;
        QTest::newRow("today's containers")
            << QStringList{QStringLiteral("/v/a.mp4"),  QStringLiteral("/v/b.M4V"),
                           QStringLiteral("/v/c.mov"),  QStringLiteral("/v/d.mkv"),
                           QStringLiteral("/v/e.webm"), QStringLiteral("/v/f.wmv"),
                           QStringLiteral("/v/g.asf"),  QStringLiteral("/v/h.ts"),
                           QStringLiteral("/v/i.M2TS"), QStringLiteral("/v/j.mts"),
                           QStringLiteral("/v/k.MOD"),  QStringLiteral("/v/l.ogv"),
                           QStringLiteral("/v/m.dv"),   QStringLiteral("/v/n.rm"),
                           QStringLiteral("/v/o.rmvb"), QStringLiteral("/v/p.mp3"),
                           QStringLiteral("/v/q.tsx")}
            << QStringList{QStringLiteral("a.mp4|変換待ち"),  QStringLiteral("b.M4V|変換待ち"),
                           QStringLiteral("c.mov|変換待ち"),  QStringLiteral("d.mkv|変換待ち"),
                           QStringLiteral("e.webm|変換待ち"), QStringLiteral("f.wmv|変換待ち"),
                           QStringLiteral("g.asf|変換待ち"),  QStringLiteral("h.ts|変換待ち"),
                           QStringLiteral("i.M2TS|変換待ち"), QStringLiteral("j.mts|変換待ち"),
                           QStringLiteral("k.MOD|変換待ち"),  QStringLiteral("l.ogv|変換待ち"),
                           QStringLiteral("m.dv|変換待ち"),   QStringLiteral("n.rm|変換待ち"),
                           QStringLiteral("o.rmvb|変換待ち")}
            << 1;
        QTest::newRow("refused names warn once")
            << QStringList{QStringLiteral("/v/clip.avi.txt"), QStringLiteral("/v/noext"),
                           QStringLiteral("/v.avi/noext2")}
            << QStringList{} << 1;
        QTest::newRow("japanese name kept")
            << QStringList{QStringLiteral("/ビデオ/表ソ番組.mpg")}
            << QStringList{QStringLiteral("表ソ番組.mpg|変換待ち")} << 0;
    }

    void drops()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, rows);
        QFETCH(int, warnings);
        TFormMain form(services());
        QList<QUrl> urls;
        for (const QString& name : names)
            urls << QUrl::fromLocalFile(name);
        QVERIFY(drop(form, urls));
        QTRY_COMPARE(m_prompt.informations.size(), warnings);
        QTRY_COMPARE(this->rows(form), rows);
        QCOMPARE(form.engine().jobs().Count(), rows.size());
        if (warnings)
            QCOMPARE(m_prompt.informations.first(),
                     QStringLiteral("「AVI、MP4、MOV、MKV、WMV、TS "
                                    "などの動画」以外のファイルには対応しておりません"));
        for (int i = 0; i < names.size() && i < rows.size(); ++i) {
            if (rows.size() == names.size())
                QCOMPARE(form.engine().jobs().Items(i)->SourceFile, names[i]);
        }
    }

    // A folder (even one named like a video) is walked off the window's thread: its videos in
    // natural order, then its sub-folders'; the label counts what was left out.
    void dropOfAFolder()
    {
        const QString folder = m_home.filePath(QStringLiteral("x.VOB"));
        for (const QString& name : {QStringLiteral("sub/c.mkv"), QStringLiteral("b10.avi"),
                                    QStringLiteral("b9.AVI"), QStringLiteral("note.txt"),
                                    QStringLiteral(".hidden.avi"), QStringLiteral("d.avi.part")}) {
            QDir().mkpath(QFileInfo(folder + QLatin1Char('/') + name).path());
            QVERIFY(QFile(folder + QLatin1Char('/') + name).open(QIODevice::WriteOnly));
        }
        TFormMain form(services());
        QVERIFY(drop(form, {QUrl::fromLocalFile(folder)}));
        QTRY_COMPARE(rows(form), (QStringList{QStringLiteral("b9.AVI|変換待ち"),
                                              QStringLiteral("b10.avi|変換待ち"),
                                              QStringLiteral("c.mkv|変換待ち")}));
        const auto said = [&form] {
            const QLabel* label = control<QLabel>(form, "LblSituation");
            return label->toolTip().isEmpty() ? label->text() : label->toolTip();
        };
        QCOMPARE(said(), QStringLiteral("3個の動画を追加しました"
                                        "（対応していない1個のファイルは追加しませんでした）"));
        QVERIFY(drop(form, {QUrl::fromLocalFile(folder)})); // again: nothing twice
        QTRY_VERIFY(said().contains(QStringLiteral("リストにある3個")));
        QCOMPARE(form.engine().jobs().Count(), 3);
    }

    void addFileThroughTheDialog()
    {
        TFormMain form(services());
        m_shell.nextVideoFiles = {m_home.filePath(QStringLiteral("missing clip.avi"))};
        QTest::mouseClick(button(form, "PngBtnAddFile"), Qt::LeftButton);
        // Several at once, in the dialog's order; the same file again gives a second job.
        m_shell.nextVideoFiles = {m_home.filePath(QStringLiteral("b.flv")),
                                  m_home.filePath(QStringLiteral("missing clip.avi")),
                                  m_home.filePath(QStringLiteral("a.avi"))};
        QTest::mouseClick(button(form, "PngBtnAddFile"), Qt::LeftButton);
        m_shell.nextVideoFiles.clear();
        QTest::mouseClick(button(form, "PngBtnAddFile"), Qt::LeftButton); // cancelled: nothing
        QCOMPARE(rows(form), (QStringList{QStringLiteral("missing clip.avi|変換待ち"),
                                          QStringLiteral("b.flv|変換待ち"),
                                          QStringLiteral("missing clip.avi|変換待ち"),
                                          QStringLiteral("a.avi|変換待ち")}));
        QCOMPARE(m_shell.chooserFolders.size(), 3);
        QCOMPARE(m_shell.chooserFolders.first(),
                 m_home.filePath(QStringLiteral("Documents")) + QLatin1Char('/'));
    }

    // The real open dialog: Japanese with Qt's translations, several files in the dialog's
    // order, today's containers listed, and a typed name queued whether or not it exists.
    void openDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("chosen");
        QTest::newRow("several") << QStringLiteral("\"c.flv\" \"a.avi\"")
                                 << QStringList{QStringLiteral("c.flv"), QStringLiteral("a.avi")};
        QTest::newRow("missing") << QStringLiteral("gone.avi")
                                 << QStringList{QStringLiteral("gone.avi")};
        QTest::newRow("existing and missing")
            << QStringLiteral("\"d.MP4\" \"gone.mkv\"")
            << QStringList{QStringLiteral("d.MP4"), QStringLiteral("gone.mkv")};
    }

    void openDialog()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, chosen);
        QVERIFY(installQtTranslations(*QCoreApplication::instance()));
        QTemporaryDir folder;
        for (const char* name : {"a.avi", "b.MPG", "c.flv", "d.MP4", "e.m2ts", "notes.txt"}) {
            QFile file(folder.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QString title;
        QStringList listed;
        QTimer user;
        connect(&user, &QTimer::timeout, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
            if (view->model()->rowCount(view->rootIndex()) < 5)
                return; // the folder is still being read
            // Typed, as a user does, into the name box that has the focus.
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            edit->setFocus();
            if (!edit->hasFocus())
                return;
            user.stop();
            title = dialog->windowTitle();
            for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
                listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
            edit->setText(typed);
            static_cast<QDialog*>(dialog)->accept(); // as the Open button does
        });
        user.start(10);
        QtShellService shell;
        const QStringList files = shell.chooseVideoFiles(nullptr, folder.path());
        QCOMPARE(title, QStringLiteral("開く"));
        listed.sort();
        QCOMPARE(listed, (QStringList{QStringLiteral("a.avi"), QStringLiteral("b.MPG"),
                                      QStringLiteral("c.flv"), QStringLiteral("d.MP4"),
                                      QStringLiteral("e.m2ts")}));
        QStringList expected;
        for (const QString& name : chosen)
            expected << folder.filePath(name);
        QCOMPARE(files, expected);
    }

    void removeSelectedRows()
    {
        TFormMain form(services());
        for (const char* name : {"/v/0.avi", "/v/1.avi", "/v/2.avi", "/v/3.avi"})
            form.engine().jobs().AddSource(name);

        // Nothing selected: a hint, nothing removed.
        QTest::mouseClick(button(form, "PngBtnListDelete"), Qt::LeftButton);
        QCOMPARE(m_prompt.informations,
                 QStringList{QStringLiteral("変換リストから除外するファイルを選択してください")});

        // No keeps everything and the selection.
        selectRows(form, {0, 2});
        m_prompt.answers = {false};
        QTest::mouseClick(button(form, "PngBtnListDelete"), Qt::LeftButton);
        QCOMPARE(m_prompt.questions,
                 QStringList{QStringLiteral("選択したファイルを変換リストから除外しますか？")});
        QCOMPARE(form.engine().jobs().Count(), 4);
        QCOMPARE(list(form)->selectionModel()->selectedRows().size(), 2);

        m_prompt.answers = {true};
        QTest::mouseClick(button(form, "PngBtnListDelete"), Qt::LeftButton);
        QCOMPARE(rows(form),
                 (QStringList{QStringLiteral("1.avi|変換待ち"), QStringLiteral("3.avi|変換待ち")}));
        QCOMPARE(form.engine().jobs().Items(0)->SourceFile, QStringLiteral("/v/1.avi"));
        QVERIFY(!list(form)->selectionModel()->hasSelection());
    }

    void refreshClearsSelectionAndScrollsUp()
    {
        TFormMain form(services());
        for (int i = 0; i < 40; ++i)
            form.engine().jobs().AddSource("/v/" + QByteArray::number(i) + ".avi");
        form.show();
        list(form)->scrollToBottom();
        selectRows(form, {39});
        form.engine().jobs().AddSource("/v/40.avi");
        QVERIFY(!list(form)->selectionModel()->hasSelection());
        QCOMPARE(list(form)->verticalScrollBar()->value(), 0);
    }

    void buttonsTakeNoFocus()
    {
        TFormMain form(services());
        for (TPNGButton* b : form.findChildren<TPNGButton*>())
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
        QVERIFY(list(form)->focusPolicy() != Qt::NoFocus);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
