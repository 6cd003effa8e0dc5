#include "app/AppWindows.h"
#include "common/Controls.h"
#include "common/DialogTestSupport.h"
#include "engine/ConversionEngine.h"
#include "platform/CodePage.h"
#include "widgets/pngextra.h"

#include <QComboBox>
#include <QListWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace tovilo;
using namespace tovilo::test;

class TestSelectDVD : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    FakePrompt m_prompt;
    RecordingShell m_shell;
    FakeDrives m_drives;
    NoMediaDevice m_noDevice;
    std::unique_ptr<AppWindows> m_windows;
    TFormMain* m_main = nullptr;
    TFormSelectDVD* m_dialog = nullptr;
    // Whether the dialog was visible whenever a message was shown.
    QList<bool> m_shownWhileVisible;

    // The three windows in their start-up order, on the drives set up so far.
    void start()
    {
        const Services services{m_prompt, m_shell, m_drives, m_noDevice};
        m_windows = std::make_unique<AppWindows>(services);
        m_main = &m_windows->formMain;
        m_dialog = &m_windows->formSelectDVD;
        m_main->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_main));
    }

    QByteArray disc(const QString& name) const { return fromUtf16(m_temp.filePath(name)) + '/'; }

    QByteArray makeDisc(const QString& name, const QStringList& files)
    {
        for (const QString& file : files)
            touch(m_temp.filePath(name + QLatin1Char('/') + file));
        return disc(name);
    }

    QStringList driveEntries() const
    {
        QStringList entries;
        for (int i = 0; i < m_dialog->CBDriveList->count(); ++i)
            entries.append(m_dialog->CBDriveList->itemText(i));
        return entries;
    }

    QStringList chapterTexts() const
    {
        QStringList texts;
        for (int i = 0; i < m_dialog->LBChapter->count(); ++i)
            texts.append(m_dialog->LBChapter->item(i)->text());
        return texts;
    }

    QStringList chapterPaths() const
    {
        QStringList paths;
        for (int i = 0; i < m_dialog->LBChapter->count(); ++i)
            paths.append(toUtf16(
                m_dialog->LBChapter->item(i)->data(TFormSelectDVD::PathRole).toByteArray()));
        return paths;
    }

    QTableWidget* list() const { return control<QTableWidget>(*m_main, "ListViewConvertFile"); }

    QStringList jobSources() const
    {
        QStringList sources;
        for (int i = 0; i < m_main->engine().jobs().Count(); ++i)
            sources.append(m_main->engine().jobs().Items(i)->SourceFile);
        return sources;
    }

    void clickChapter(int row, Qt::KeyboardModifiers modifiers)
    {
        QListWidgetItem* item = m_dialog->LBChapter->item(row);
        m_dialog->LBChapter->scrollToItem(item);
        QTest::mouseClick(m_dialog->LBChapter->viewport(), Qt::LeftButton, modifiers,
                          m_dialog->LBChapter->visualItemRect(item).center());
    }

    // The user presses "DVDから変換" on the main window and acts in the dialog.
    bool addFromDvd(const std::function<void()>& script)
    {
        return runModal(
            m_dialog, script,
            [this] {
                QTest::mouseClick(control<TPNGButton>(*m_main, "PngBtnAddDVD"), Qt::LeftButton);
            },
            [this] {
                m_dialog->CloseAllowed = true;
                m_dialog->done(QDialog::Rejected);
            });
    }

private slots:
    void init()
    {
        QVERIFY(m_temp.isValid());
        m_shell.documents = fromUtf16(m_temp.filePath(QStringLiteral("Documents")));
        QDir(m_temp.path()).mkpath(QStringLiteral("Documents"));
        m_prompt.onInformation = [this](const QString&) {
            m_shownWhileVisible.append(m_dialog && m_dialog->isVisible());
        };
    }

    void cleanup()
    {
        m_windows.reset();
        m_main = nullptr;
        m_dialog = nullptr;
        m_drives = FakeDrives();
        m_prompt.informations.clear();
        m_shownWhileVisible.clear();
        QDir(m_temp.path()).removeRecursively();
        QDir().mkpath(m_temp.path());
    }

    void drivesListedWithLabels()
    {
        // A mount point may itself contain "[" and "]"; the entry keeps its root beside it.
        const QByteArray first =
            makeDisc(QStringLiteral("MY DISC [1]"), {QStringLiteral("VIDEO_TS/VTS_01_1.VOB")});
        m_drives.add(first, "MY_DISC", true);
        m_drives.add("/dev/sr1", "", false);
        m_drives.add(disc(QStringLiteral("日本語")), "ラベル", false);
        start();

        QCOMPARE(
            driveEntries(),
            QStringList({toUtf16(first) + QStringLiteral("[MY_DISC]"), QStringLiteral("/dev/sr1[]"),
                         toUtf16(disc(QStringLiteral("日本語"))) + QStringLiteral("[ラベル]")}));
        QCOMPARE(m_dialog->CBDriveList->currentIndex(), 0);
        QCOMPARE(m_dialog->GetSelectedDriveRoot(), first);
        QCOMPARE(m_dialog->GetVolumeLabel(first), QByteArray("MY_DISC"));
        QCOMPARE(m_dialog->GetVolumeLabel("/dev/sr1"), QByteArray());
        // Filled silently at creation, for the first drive.
        QCOMPARE(chapterTexts(), QStringList({QStringLiteral("VTS_01_1")}));
        QVERIFY(m_prompt.informations.isEmpty());
    }

    void rememberedDrivePosition_data()
    {
        QTest::addColumn<int>("drivesBefore");
        QTest::addColumn<int>("picked");
        QTest::addColumn<int>("drivesAfter");
        QTest::addColumn<int>("selectedAfter");

        QTest::newRow("first stays first") << 3 << 0 << 3 << 0;
        QTest::newRow("second of more drives") << 2 << 1 << 4 << 1;
        QTest::newRow("position gone") << 3 << 2 << 2 << -1;
        QTest::newRow("no drive before") << 0 << -1 << 2 << 0;
        QTest::newRow("every drive gone") << 2 << 1 << 0 << -1;
    }

    void rememberedDrivePosition()
    {
        QFETCH(int, drivesBefore);
        QFETCH(int, picked);
        QFETCH(int, drivesAfter);
        QFETCH(int, selectedAfter);

        const auto addDrives = [this](int count) {
            m_drives = FakeDrives();
            for (int i = 0; i < count; ++i) {
                const QString name = QStringLiteral("disc%1").arg(i);
                m_drives.add(makeDisc(name, {QStringLiteral("VIDEO_TS/%1.VOB").arg(name)}),
                             name.toUtf8(), true);
            }
        };
        addDrives(drivesBefore);
        start();

        QVERIFY(addFromDvd([&] {
            // The user picks a drive with the keyboard, then the drives change and "更新".
            for (int i = 0; i < picked; ++i)
                QTest::keyClick(m_dialog->CBDriveList, Qt::Key_Down);
            QCOMPARE(m_dialog->CBDriveList->currentIndex(), picked);
            if (picked >= 0)
                QCOMPARE(chapterTexts(), QStringList({QStringLiteral("disc%1").arg(picked)}));
            addDrives(drivesAfter);
            QTest::mouseClick(m_dialog->PngBtnRefreshChapterList, Qt::LeftButton);
            QCOMPARE(m_dialog->CBDriveList->count(), drivesAfter);
            QCOMPARE(m_dialog->CBDriveList->currentIndex(), selectedAfter);
            if (selectedAfter < 0)
                QCOMPARE(m_dialog->LBChapter->count(), 0);
            else
                QCOMPARE(chapterTexts(),
                         QStringList({QStringLiteral("disc%1").arg(selectedAfter)}));
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
        QVERIFY(m_prompt.informations.isEmpty());
    }

    void chapterFilesOfADisc()
    {
        const QByteArray root =
            makeDisc(QStringLiteral("disc"), {
                                                 QStringLiteral("VIDEO_TS/VIDEO_TS.VOB"),
                                                 QStringLiteral("VIDEO_TS/VIDEO_TS.IFO"),
                                                 QStringLiteral("VIDEO_TS/VTS_01_0.VOB"),
                                                 QStringLiteral("VIDEO_TS/VTS_01_1.VOB"),
                                                 QStringLiteral("VIDEO_TS/VTS_02_1.vob"),
                                                 QStringLiteral("VIDEO_TS/video_ts.VOB"),
                                                 QStringLiteral("VIDEO_TS/VTS_03_1.VOB.bak"),
                                                 QStringLiteral("EXTRA/VTS_01_1.VOB"),
                                                 QStringLiteral("EXTRA/deep/BONUS.VOB"),
                                             });
        m_drives.add(root, "DISC", true);
        start();

        QStringList names = chapterTexts();
        names.sort();
        QCOMPARE(names, QStringList({QStringLiteral("BONUS"), QStringLiteral("VTS_01_0"),
                                     QStringLiteral("VTS_01_1"), QStringLiteral("VTS_01_1"),
                                     QStringLiteral("video_ts")}));

        // Every entry queues the file where it was found.
        QStringList expectedPaths;
        for (const char* file :
             {"EXTRA/deep/BONUS.VOB", "VIDEO_TS/VTS_01_0.VOB", "VIDEO_TS/VTS_01_1.VOB",
              "EXTRA/VTS_01_1.VOB", "VIDEO_TS/video_ts.VOB"})
            expectedPaths.append(toUtf16(root) + QLatin1String(file));
        QStringList paths = chapterPaths();
        QCOMPARE(QSet<QString>(paths.begin(), paths.end()),
                 QSet<QString>(expectedPaths.begin(), expectedPaths.end()));
        for (int i = 0; i < m_dialog->LBChapter->count(); ++i)
            QCOMPARE(m_dialog->LBChapter->item(i)->text(), QFileInfo(paths[i]).completeBaseName());

        QVERIFY(addFromDvd([this] {
            QTest::mouseClick(m_dialog->PngBtnSelectAll, Qt::LeftButton);
            QCOMPARE(m_dialog->LBChapter->selectedItems().size(), 5);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
        }));
        QCOMPARE(jobSources(), paths);
        for (const QString& source : jobSources())
            QVERIFY2(QFileInfo::exists(source), qPrintable(source));
        QCOMPARE(list()->rowCount(), 5);
    }

    void selectedChaptersAppendedInListOrder()
    {
        QStringList files;
        for (int i = 1; i <= 5; ++i)
            files.append(QStringLiteral("VIDEO_TS/VTS_0%1_1.VOB").arg(i));
        m_drives.add(makeDisc(QStringLiteral("disc"), files), "DISC", true);
        start();
        ThConvertInfoObjectList& jobs = m_main->engine().jobs();
        jobs.AddSource("/videos/a.avi");
        jobs.SetStatus(*jobs.Items(jobs.AddSource("/videos/b.avi")), csConverted);
        const QStringList paths = chapterPaths();

        QVERIFY(addFromDvd([this] {
            clickChapter(3, Qt::NoModifier);
            clickChapter(0, Qt::ControlModifier);
            clickChapter(2, Qt::ControlModifier);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
        }));
        QVERIFY(m_dialog->Accepted);
        const QStringList afterFirst = {QStringLiteral("/videos/a.avi"),
                                        QStringLiteral("/videos/b.avi"), paths[0], paths[2],
                                        paths[3]};
        QCOMPARE(jobSources(), afterFirst);
        for (int i = 2; i < 5; ++i)
            QCOMPARE(m_main->engine().jobs().Items(i)->Status, csWaiting);
        QCOMPARE(m_main->engine().jobs().Items(1)->Status, csConverted);
        QCOMPARE(list()->rowCount(), 5);
        QCOMPARE(list()->item(4, 0)->text(), QFileInfo(paths[3]).fileName());

        // Reopening shows the same selection, and OK queues the same chapters again.
        QVERIFY(addFromDvd([this] {
            QList<int> rows;
            for (QListWidgetItem* item : m_dialog->LBChapter->selectedItems())
                rows.append(m_dialog->LBChapter->row(item));
            std::sort(rows.begin(), rows.end());
            QCOMPARE(rows, QList<int>({0, 2, 3}));
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
        }));
        QCOMPARE(jobSources(), afterFirst + QStringList({paths[0], paths[2], paths[3]}));
    }

    void closeRules()
    {
        m_drives.add(makeDisc(QStringLiteral("disc"), {QStringLiteral("VIDEO_TS/VTS_01_1.VOB")}),
                     "DISC", true);
        start();

        // Until OK or Cancel first closes it, neither Escape nor a close request does.
        QVERIFY(addFromDvd([this] {
            QVERIFY((m_dialog->frameGeometry().center() - m_main->frameGeometry().center())
                        .manhattanLength() <= 2);
            QTest::keyClick(m_dialog->LBChapter, Qt::Key_Escape);
            QVERIFY(m_dialog->isVisible());
            QVERIFY(!m_dialog->close());
            QVERIFY(m_dialog->isVisible());
            m_dialog->reject();
            QVERIFY(m_dialog->isVisible());
            // OK without a selection: the message, and the dialog stays.
            QTest::mouseClick(m_dialog->PngBtnAnSelectAll, Qt::LeftButton);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
            QCOMPARE(m_prompt.informations,
                     QStringList({QStringLiteral("チャプターを選択してください")}));
            QVERIFY(m_dialog->isVisible());
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
        QVERIFY(!m_dialog->Accepted);
        QCOMPARE(m_main->engine().jobs().Count(), 0);

        // After Cancel, Escape closes and keeps the answer of that Cancel.
        QVERIFY(addFromDvd([this] {
            clickChapter(0, Qt::NoModifier);
            QTest::keyClick(m_dialog->LBChapter, Qt::Key_Escape);
            QVERIFY(!m_dialog->isVisible());
        }));
        QCOMPARE(m_main->engine().jobs().Count(), 0);

        // An OK without a selection refuses close requests again.
        QVERIFY(addFromDvd([this] {
            QTest::mouseClick(m_dialog->PngBtnAnSelectAll, Qt::LeftButton);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
            QVERIFY(!m_dialog->close());
            QVERIFY(m_dialog->isVisible());
            QTest::mouseClick(m_dialog->PngBtnSelectAll, Qt::LeftButton);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
        }));
        QVERIFY(m_dialog->Accepted);
        QCOMPARE(m_main->engine().jobs().Count(), 1);

        // Escape after an earlier OK closes without queueing the chapters again.
        QVERIFY(addFromDvd([this] {
            QTest::keyClick(m_dialog->LBChapter, Qt::Key_Escape);
            QVERIFY(!m_dialog->isVisible());
        }));
        QVERIFY(!m_dialog->Accepted);
        QCOMPARE(m_main->engine().jobs().Count(), 1);
    }

    void driveWithoutDisc()
    {
        const QByteArray root =
            makeDisc(QStringLiteral("disc"), {QStringLiteral("VIDEO_TS/VTS_01_1.VOB")});
        m_drives.add("/dev/sr0", "", false);
        m_drives.add(root, "DISC", true);
        start();
        // At start-up the dialog is hidden: no message, the list simply stays empty.
        QCOMPARE(m_dialog->LBChapter->count(), 0);
        QVERIFY(m_prompt.informations.isEmpty());
        m_dialog->RefreshChapterList();
        QVERIFY(m_prompt.informations.isEmpty());

        QVERIFY(addFromDvd([this] {
            QTest::keyClick(m_dialog->CBDriveList, Qt::Key_Down);
            QCOMPARE(chapterTexts(), QStringList({QStringLiteral("VTS_01_1")}));
            QTest::keyClick(m_dialog->CBDriveList, Qt::Key_Up);
            QCOMPARE(m_dialog->LBChapter->count(), 0);
            QTest::mouseClick(m_dialog->PngBtnRefreshChapterList, Qt::LeftButton);
            QCOMPARE(m_dialog->CBDriveList->currentIndex(), 0);
            QCOMPARE(m_dialog->LBChapter->count(), 0);
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
        const QString insert = QStringLiteral("ドライブにディスクを挿入してください");
        QCOMPARE(m_prompt.informations, QStringList({insert, insert}));
        QCOMPARE(m_shownWhileVisible, QList<bool>({true, true}));
    }

    void discChangesWhileShown()
    {
        const QByteArray first =
            makeDisc(QStringLiteral("first"), {QStringLiteral("VIDEO_TS/VTS_01_1.VOB"),
                                               QStringLiteral("VIDEO_TS/VTS_02_1.VOB")});
        const QByteArray second =
            makeDisc(QStringLiteral("second"), {QStringLiteral("DVD_RTAV/VR_MOVIE.VRO")});
        m_drives.add(first, "FIRST", true);
        start();
        // Hidden, the dialog watches nothing.
        QCOMPARE(m_drives.mounts.watching(), 0);

        QVERIFY(addFromDvd([&] {
            QCOMPARE(m_drives.mounts.watching(), 1);
            clickChapter(1, Qt::NoModifier);

            // A USB stick: the drives look the same, so the selection stays.
            m_drives.mounts.signalChange();
            QVERIFY(m_drives.mounts.waitUntilSeen());
            QCOMPARE(m_dialog->LBChapter->count(), 2);
            QCOMPARE(m_dialog->LBChapter->selectedItems(),
                     QList<QListWidgetItem*>({m_dialog->LBChapter->item(1)}));

            // The disc is ejected: what "更新" does, message included.
            m_drives.drives[0].root = "/dev/sr0";
            m_drives.drives[0].mounted = false;
            m_drives.mounts.signalChange();
            QTRY_COMPARE(driveEntries(), QStringList({QStringLiteral("/dev/sr0[FIRST]")}));
            QCOMPARE(m_dialog->LBChapter->count(), 0);
            QCOMPARE(m_prompt.informations,
                     QStringList({QStringLiteral("ドライブにディスクを挿入してください")}));

            // Another disc arrives.
            m_drives.drives[0] = {second, "SECOND", "/dev/sr0", true};
            m_drives.ready.insert(second);
            m_drives.mounts.signalChange();
            QTRY_COMPARE(chapterTexts(), QStringList({QStringLiteral("VR_MOVIE")}));
            QCOMPARE(driveEntries(), QStringList({toUtf16(second) + QStringLiteral("[SECOND]")}));
            QCOMPARE(chapterPaths(),
                     QStringList({toUtf16(second) + QStringLiteral("DVD_RTAV/VR_MOVIE.VRO")}));
            QTest::mouseClick(m_dialog->PngBtnSelectAll, Qt::LeftButton);
            QTest::mouseClick(m_dialog->PngBtnOK, Qt::LeftButton);
        }));
        QCOMPARE(m_drives.mounts.watching(), 0);
        QCOMPARE(jobSources(),
                 QStringList({toUtf16(second) + QStringLiteral("DVD_RTAV/VR_MOVIE.VRO")}));
        QCOMPARE(m_prompt.informations.size(), 1);
    }

    // What changed while the dialog was hidden shows when it opens; a mount change while
    // another window is in front refreshes the lists without a message over that window.
    void mountChangesWhileHiddenOrInactive()
    {
        const QByteArray disc =
            makeDisc(QStringLiteral("late"), {QStringLiteral("VIDEO_TS/VTS_01_1.VOB")});
        m_drives.add("/dev/sr0", "", false);
        start();
        m_drives.drives[0] = {disc, "LATE", "/dev/sr0", true};
        m_drives.ready.insert(disc);
        QVERIFY(addFromDvd([&] {
            QCOMPARE(driveEntries(), QStringList({toUtf16(disc) + QStringLiteral("[LATE]")}));
            QCOMPARE(chapterTexts(), QStringList({QStringLiteral("VTS_01_1")}));
            clickChapter(0, Qt::NoModifier);

            QWidget other;
            other.show();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
            m_drives.drives[0] = {"/dev/sr0", "", "/dev/sr0", false};
            m_drives.mounts.signalChange();
            QTRY_COMPARE(driveEntries(), QStringList({QStringLiteral("/dev/sr0[]")}));
            QCOMPARE(m_dialog->LBChapter->count(), 0);
            other.close();
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
        QVERIFY(m_prompt.informations.isEmpty());

        // Opened again with nothing changed: the lists stay as they were.
        m_drives.drives[0] = {disc, "LATE", "/dev/sr0", true};
        QVERIFY(addFromDvd([&] {
            QCOMPARE(chapterTexts(), QStringList({QStringLiteral("VTS_01_1")}));
            clickChapter(0, Qt::NoModifier);
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
        QVERIFY(addFromDvd([&] {
            QCOMPARE(m_dialog->LBChapter->selectedItems().size(), 1);
            QTest::mouseClick(m_dialog->PngBtnCancel, Qt::LeftButton);
        }));
    }
};

QTEST_MAIN(TestSelectDVD)
#include "tst_selectdvd.moc"
