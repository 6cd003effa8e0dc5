#include "app/AppWindows.h"
#include "common/Controls.h"
#include "common/DialogTestSupport.h"
#include "engine/ConversionEngine.h"
#include "platform/CodePage.h"
#include "ui/WindowSupport.h"
#include "widgets/pngextra.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace tovilo;
using namespace tovilo::test;

class TestConfig : public QObject
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
    TFormConfig* m_dialog = nullptr;

    QByteArray dataFolder() const { return m_shell.documents + "/Tovilo/"; }
    QString settingsFile() const { return toUtf16(dataFolder()) + QStringLiteral("config.ini"); }

    QByteArray settingsText() const
    {
        QFile file(settingsFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The user presses "設定" on the main window and acts in the dialog.
    bool editSettings(const std::function<void()>& script)
    {
        return runModal(
            m_dialog, script, [this] { click(control<TPNGButton>(*m_main, "PngBtnConfig")); },
            [this] { m_dialog->done(QDialog::Rejected); });
    }

    void click(TPNGButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

private slots:
    void init()
    {
        QVERIFY(m_temp.isValid());
        const QString documents = m_temp.filePath(QStringLiteral("Documents"));
        QVERIFY(QDir().mkpath(documents));
        m_shell.documents = fromUtf16(documents);
        const Services services{m_prompt, m_shell, m_drives, m_noDevice};
        m_windows = std::make_unique<AppWindows>(services);
        m_main = &m_windows->formMain;
        m_dialog = &m_windows->formConfig;
        m_main->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_main));
    }

    void cleanup()
    {
        m_windows.reset();
        m_main = nullptr;
        m_dialog = nullptr;
        m_shell.nextFolder.reset();
        m_shell.browseTitles.clear();
        setSystemCodePage(CodePage::Utf8);
        QDir(m_temp.path()).removeRecursively();
    }

    void settingsShown_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("ratio");
        QTest::addColumn<QString>("qualityText");
        QTest::addColumn<QString>("ratioText");

        QTest::newRow("standard, wide") << 3 << 1 << "標準画質"
                                        << "ワイド（１６：９）";
        QTest::newRow("best large, 4:3") << 0 << 0 << "最高画質（高解像度）"
                                         << "標準（４：３）";
        QTest::newRow("low") << 4 << 0 << "低画質"
                             << "標準（４：３）";
        // Out of range (a hand-edited file): the boxes keep the previous opening's choice.
        QTest::newRow("quality 7, ratio 2") << 7 << 2 << "高画質"
                                            << "ワイド（１６：９）";
        QTest::newRow("quality 255") << 255 << 0 << "高画質"
                                     << "標準（４：３）";
    }

    void settingsShown()
    {
        QFETCH(int, quality);
        QFETCH(int, ratio);
        QFETCH(QString, qualityText);
        QFETCH(QString, ratioText);

        // An earlier opening left "高画質" and the wide ratio in the boxes.
        m_main->engine().jobs().Settings.Quality = 2;
        m_main->engine().jobs().Settings.Ratio = 1;
        QVERIFY(editSettings([this] { click(m_dialog->PngBtnCancel); }));

        m_main->engine().jobs().Settings.Quality = static_cast<std::uint8_t>(quality);
        m_main->engine().jobs().Settings.Ratio = static_cast<std::uint8_t>(ratio);
        QVERIFY(editSettings([&] {
            QCOMPARE(m_dialog->CBConvertQuality->currentText(), qualityText);
            QCOMPARE(m_dialog->CBConvertRaito->currentText(), ratioText);
            // Cancel leaves even an out-of-range value in the list.
            click(m_dialog->PngBtnCancel);
        }));
        QCOMPARE(m_main->engine().jobs().Settings.Quality, quality);
        QCOMPARE(m_main->engine().jobs().Settings.Ratio, ratio);

        // OK stores what the boxes show.
        QVERIFY(editSettings([this] { click(m_dialog->PngBtnOK); }));
        QCOMPARE(m_main->engine().jobs().Settings.Quality,
                 m_dialog->CBConvertQuality->currentIndex());
        QCOMPARE(m_main->engine().jobs().Settings.Ratio, m_dialog->CBConvertRaito->currentIndex());
        QCOMPARE(m_dialog->CBConvertQuality->currentText(), qualityText);
    }

    void chosenFolder_data()
    {
        QTest::addColumn<CodePage>("codePage");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QByteArray>("stored");

        QTest::newRow("folder") << CodePage::Utf8 << "/media/x/Video"
                                << "/media/x/Video/" << QByteArray("/media/x/Video/");
        QTest::newRow("root") << CodePage::Utf8 << "/"
                              << "/" << QByteArray("/");
        QTest::newRow("already ends in /") << CodePage::Utf8 << "/home/u/"
                                           << "/home/u/" << QByteArray("/home/u/");
        // 表 is 0x95 0x5C in code page 932: its trail byte is no delimiter.
        QTest::newRow("cp932 ends in 表") << CodePage::Cp932 << "/home/u/表"
                                          << "/home/u/表/" << QByteArray("/home/u/\x95\x5C/");
    }

    void chosenFolder()
    {
        QFETCH(CodePage, codePage);
        QFETCH(QString, chosen);
        QFETCH(QString, shown);
        QFETCH(QByteArray, stored);

        setSystemCodePage(codePage);
        m_main->engine().jobs().Settings.SaveDir = "/old/";
        m_shell.nextFolder = chosen;
        QVERIFY(editSettings([&] {
            click(m_dialog->PngBtnSelectDir);
            QCOMPARE(m_dialog->EditSaveDir->text(), shown);
            click(m_dialog->PngBtnOK);
        }));
        QCOMPARE(m_shell.browseTitles, QStringList({QStringLiteral("保存先を選択してください")}));
        QCOMPARE(m_main->engine().jobs().Settings.SaveDir, stored);
        QVERIFY(settingsText().contains("SAVEDIR=" + stored + '\n'));
    }

    void cancelKeepsSettingsAndFile()
    {
        m_main->engine().jobs().Settings.SaveDir = "/old/";
        m_main->engine().jobs().Settings.Quality = 1;
        m_main->engine().jobs().Settings.OpenDir = true;
        m_shell.nextFolder = QStringLiteral("/media/x/Video");
        QVERIFY(editSettings([this] {
            click(m_dialog->PngBtnSelectDir);
            QCOMPARE(m_dialog->EditSaveDir->text(), QStringLiteral("/media/x/Video/"));
            QTest::keyClick(m_dialog->CBConvertQuality, Qt::Key_Down);
            click(m_dialog->PngBtnCancel);
        }));
        QVERIFY(!m_dialog->Accepted);
        QCOMPARE(m_main->engine().jobs().Settings.SaveDir, QByteArray("/old/"));
        QCOMPARE(m_main->engine().jobs().Settings.Quality, 1);
        QVERIFY(!QFileInfo::exists(settingsFile()));

        // The next opening shows the stored folder again; a cancelled browser changes nothing.
        m_shell.nextFolder.reset();
        QVERIFY(editSettings([this] {
            QCOMPARE(m_dialog->EditSaveDir->text(), QStringLiteral("/old/"));
            QCOMPARE(m_dialog->CBConvertQuality->currentIndex(), 1);
            click(m_dialog->PngBtnSelectDir);
            QCOMPARE(m_dialog->EditSaveDir->text(), QStringLiteral("/old/"));
            click(m_dialog->PngBtnCancel);
        }));
        QVERIFY(!QFileInfo::exists(settingsFile()));
    }

    void okWithoutChangeWritesFile()
    {
        QVERIFY(!QFileInfo::exists(settingsFile()));
        QVERIFY(editSettings([this] { click(m_dialog->PngBtnOK); }));
        QVERIFY(m_dialog->Accepted);
        // The defaults of a first run, as the settings file stores them.
        QCOMPARE(settingsText(), "[CONF]\nQUALITY=1\nRAITO=0\nSAVEDIR=" + dataFolder() +
                                     "\nOPENDIR=1\nCODEC=0\nSUBTITLE=0\nWATCHDIR=\nWATCHMODE=0\n");
    }

    void videoFormat()
    {
        QVERIFY(editSettings([this] {
            QCOMPARE(m_dialog->CBVideoCodec->currentText(),
                     QStringLiteral("MPEG-4（すべてのiPod）"));
            m_dialog->CBVideoCodec->setCurrentIndex(1);
            click(m_dialog->PngBtnCancel);
        }));
        QCOMPARE(m_main->engine().jobs().Settings.Codec, 0);
        QVERIFY(editSettings([this] {
            m_dialog->CBVideoCodec->setCurrentIndex(1);
            click(m_dialog->PngBtnOK);
        }));
        QCOMPARE(m_main->engine().jobs().Settings.Codec, 1);
        QVERIFY(settingsText().contains("OPENDIR=1\nCODEC=1\nSUBTITLE=0\n"));
        QVERIFY(editSettings([this] {
            QCOMPARE(m_dialog->CBVideoCodec->currentText(), QStringLiteral("H.264（高画質）"));
            QCOMPARE(m_dialog->CBSubtitle->currentText(), QStringLiteral("入れない"));
            m_dialog->CBSubtitle->setCurrentIndex(1);
            click(m_dialog->PngBtnOK);
        }));
        QVERIFY(settingsText().contains("CODEC=1\nSUBTITLE=1\n"));
        QVERIFY(editSettings([this] {
            QCOMPARE(m_dialog->CBSubtitle->currentText(), QStringLiteral("日本語字幕を焼き込む"));
            click(m_dialog->PngBtnCancel);
        }));
    }

    void savedFolderKeptByteForByte()
    {
        // A folder name that is not valid in the code page must survive an OK unchanged.
        const QByteArray folder = "/media/caf\xE9/";
        m_main->engine().jobs().Settings.SaveDir = folder;
        QVERIFY(editSettings([this] { click(m_dialog->PngBtnOK); }));
        QCOMPARE(m_main->engine().jobs().Settings.SaveDir, folder);
        QVERIFY(settingsText().contains("SAVEDIR=" + folder + '\n'));
    }

    void captionTogglesCheckBox()
    {
        m_main->engine().jobs().Settings.OpenDir = true;
        QVERIFY(editSettings([this] {
            QVERIFY(m_dialog->CBOpenDir->isChecked());
            QTest::mouseClick(m_dialog->LblOpenDir, Qt::LeftButton);
            QVERIFY(!m_dialog->CBOpenDir->isChecked());
            QTest::mouseClick(m_dialog->CBOpenDir, Qt::LeftButton);
            QVERIFY(m_dialog->CBOpenDir->isChecked());
            QTest::mouseClick(m_dialog->LblOpenDir, Qt::LeftButton);
            QVERIFY(!m_dialog->CBOpenDir->isChecked());
            click(m_dialog->PngBtnOK);
        }));
        QVERIFY(!m_main->engine().jobs().Settings.OpenDir);
        QVERIFY(settingsText().contains("OPENDIR=0\n"));
    }

    void closeFromElsewhere()
    {
        m_main->engine().jobs().Settings.Quality = 1;
        QVERIFY(editSettings([this] { click(m_dialog->PngBtnOK); }));
        QVERIFY(QFile::remove(settingsFile()));

        // Escape closes without copying, and an earlier OK no longer counts: nothing is saved.
        QVERIFY(editSettings([this] {
            QTest::keyClick(m_dialog->CBConvertQuality, Qt::Key_Down);
            QTest::keyClick(m_dialog->CBConvertQuality, Qt::Key_Escape);
            QVERIFY(!m_dialog->isVisible());
        }));
        QVERIFY(!m_dialog->Accepted);
        QCOMPARE(m_main->engine().jobs().Settings.Quality, 1);
        QVERIFY(!QFileInfo::exists(settingsFile()));

        QVERIFY(editSettings([this] { click(m_dialog->PngBtnCancel); }));
        QFile::remove(settingsFile());
        QVERIFY(editSettings([this] { QVERIFY(m_dialog->close()); }));
        QVERIFY(!m_dialog->Accepted);
        QVERIFY(!QFileInfo::exists(settingsFile()));
    }
};

QTEST_MAIN(TestConfig)
#include "tst_config.moc"
