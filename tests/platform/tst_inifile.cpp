#include "platform/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace tovilo;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString iniPath() const { return m_dir.filePath(QStringLiteral("config.ini")); }
    IniFile ini() const { return IniFile(QFile::encodeName(iniPath())); }

private Q_SLOTS:
    void cleanup() { QFile::remove(iniPath()); }

    void readString_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray file = "; comment\n[Other]\nSAVEDIR=/wrong/\n[CONF]\r\n  SaveDir =  /v/out/  \r\n"
                                "QUOTED=\"  spaced  \"\nSINGLE='x'\nHALF=\"x\nEMPTY=\n;QUALITY=4\n[Next]\nQUALITY=9\n";
        QTest::newRow("case-insensitive, trimmed") << file << QByteArray("conf") << QByteArray("SAVEDIR")
                                                   << QByteArray("/v/out/");
        QTest::newRow("other section ignored") << file << QByteArray("Other") << QByteArray("savedir")
                                               << QByteArray("/wrong/");
        QTest::newRow("one pair of quotes removed") << file << QByteArray("CONF") << QByteArray("QUOTED")
                                                    << QByteArray("  spaced  ");
        QTest::newRow("single quotes removed") << file << QByteArray("CONF") << QByteArray("SINGLE")
                                               << QByteArray("x");
        QTest::newRow("unbalanced quote kept") << file << QByteArray("CONF") << QByteArray("HALF")
                                               << QByteArray("\"x");
        QTest::newRow("empty value is a value") << file << QByteArray("CONF") << QByteArray("EMPTY")
                                                << QByteArray("");
        QTest::newRow("commented key missing") << file << QByteArray("CONF") << QByteArray("QUALITY")
                                               << QByteArray("default");
        QTest::newRow("missing section") << file << QByteArray("NONE") << QByteArray("X")
                                         << QByteArray("default");
        QTest::newRow("long value cut to 2047") << QByteArray("[CONF]\nK=") + QByteArray(3000, 'a')
                                                << QByteArray("CONF") << QByteArray("K")
                                                << QByteArray(2047, 'a');
        QTest::newRow("japanese bytes kept") << QByteArray("[CONF]\nSAVEDIR=/\x95\x5c/\xe5\x8b\x95/\n")
                                             << QByteArray("CONF") << QByteArray("SAVEDIR")
                                             << QByteArray("/\x95\x5c/\xe5\x8b\x95/");
    }

    void readString()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, expected);
        writeAll(iniPath(), contents);
        QCOMPARE(ini().readString(section, key, "default"), expected);
    }

    void readMissingFileGivesDefaults()
    {
        QCOMPARE(ini().readString("CONF", "SAVEDIR", "/d/"), QByteArray("/d/"));
        QCOMPARE(ini().readInteger("CONF", "QUALITY", 1), 1);
        QCOMPARE(ini().readBool("CONF", "OPENDIR", true), true);
        QVERIFY(!QFile::exists(iniPath()));
    }

    void readInteger_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("expected");
        QTest::newRow("decimal") << QByteArray("3") << 3;
        QTest::newRow("0x hex") << QByteArray("0x03") << 3;
        QTest::newRow("0X hex") << QByteArray("0X1f") << 31;
        QTest::newRow("dollar hex") << QByteArray("$10") << 16;
        QTest::newRow("negative") << QByteArray("-2") << -2;
        QTest::newRow("large") << QByteArray("258") << 258;
        QTest::newRow("empty") << QByteArray("") << 7;
        QTest::newRow("word") << QByteArray("yes") << 7;
        QTest::newRow("trailing garbage") << QByteArray("3x") << 7;
        QTest::newRow("bare 0x") << QByteArray("0x") << 7;
        QTest::newRow("overflow") << QByteArray("99999999999") << 7;
        QTest::newRow("hex fills 32 bits") << QByteArray("0xFFFFFFFF") << -1;
    }

    void readInteger()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, expected);
        writeAll(iniPath(), "[CONF]\nQUALITY=" + text + "\n");
        QCOMPARE(ini().readInteger("CONF", "QUALITY", 7), expected);
    }

    void write_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("new file") << QByteArray() << QByteArray("CONF") << QByteArray("QUALITY")
                                  << QByteArray("1") << QByteArray("[CONF]\nQUALITY=1\n");
        QTest::newRow("replace in place, rest kept")
            << QByteArray("; mine\n[conf]\nquality = 4 \nRAITO=0\n\n[X]\nA=1\n") << QByteArray("CONF")
            << QByteArray("QUALITY") << QByteArray("2")
            << QByteArray("; mine\n[conf]\nQUALITY=2\nRAITO=0\n\n[X]\nA=1\n");
        QTest::newRow("append to its section")
            << QByteArray("[CONF]\nQUALITY=1\n\n[X]\nA=1\n") << QByteArray("CONF") << QByteArray("RAITO")
            << QByteArray("0") << QByteArray("[CONF]\nQUALITY=1\nRAITO=0\n\n[X]\nA=1\n");
        QTest::newRow("new section at the end, CRLF kept")
            << QByteArray("[X]\r\nA=1\r\n") << QByteArray("CONF") << QByteArray("OPENDIR")
            << QByteArray("1") << QByteArray("[X]\r\nA=1\r\n[CONF]\r\nOPENDIR=1\r\n");
        QTest::newRow("last line without break")
            << QByteArray("[CONF]\nQUALITY=1") << QByteArray("CONF") << QByteArray("RAITO")
            << QByteArray("1") << QByteArray("[CONF]\nQUALITY=1\nRAITO=1");
        QTest::newRow("section header only, no break")
            << QByteArray("[X]") << QByteArray("CONF") << QByteArray("K") << QByteArray("v")
            << QByteArray("[X]\n[CONF]\nK=v\n");
    }

    void write()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, after);
        if (!before.isEmpty())
            writeAll(iniPath(), before);
        IniFile file = ini();
        file.writeString(section, key, value);
        QCOMPARE(readAll(iniPath()), after);
        QCOMPARE(file.readString(section, key, "?"), value);
    }

    void roundTripOfTheSettings()
    {
        IniFile file = ini();
        file.writeInteger("CONF", "QUALITY", 3);
        file.writeInteger("CONF", "RAITO", 1);
        file.writeString("CONF", "SAVEDIR", "/home/u/ビデオ/");
        file.writeBool("CONF", "OPENDIR", false);
        QCOMPARE(readAll(iniPath()),
                 QByteArray("[CONF]\nQUALITY=3\nRAITO=1\nSAVEDIR=/home/u/ビデオ/\nOPENDIR=0\n"));
        QCOMPARE(file.readInteger("CONF", "QUALITY", 1), 3);
        QCOMPARE(file.readBool("CONF", "OPENDIR", true), false);
        // No temporary file is left beside it.
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("config.ini")});
    }

    void writeFailures()
    {
        // A read-only file stays as it was and the error names it.
        writeAll(iniPath(), "[CONF]\nQUALITY=1\n");
        QVERIFY(::chmod(QFile::encodeName(iniPath()).constData(), 0444) == 0);
        try {
            ini().writeString("CONF", "QUALITY", "2");
            QFAIL("a read-only file was written");
        } catch (const IniWriteError& e) {
            QCOMPARE(e.message(), iniPath() + QStringLiteral(" に書き込めません"));
        }
        QCOMPARE(readAll(iniPath()), QByteArray("[CONF]\nQUALITY=1\n"));
        ::chmod(QFile::encodeName(iniPath()).constData(), 0644);

        // A value a read would cut short: refused, nothing written.
        QVERIFY_THROWS_EXCEPTION(IniWriteError,
                                 ini().writeString("CONF", "SAVEDIR", QByteArray(2048, 'a')));
        QCOMPARE(readAll(iniPath()), QByteArray("[CONF]\nQUALITY=1\n"));

        // A missing folder.
        IniFile missing(QFile::encodeName(m_dir.filePath(QStringLiteral("no/such/config.ini"))));
        QVERIFY_THROWS_EXCEPTION(IniWriteError, missing.writeString("CONF", "QUALITY", "2"));
    }

    void writeKeepsPermissionsAndLinks()
    {
        writeAll(iniPath(), "[CONF]\nQUALITY=1\n");
        QVERIFY(::chmod(QFile::encodeName(iniPath()).constData(), 0600) == 0);
        const QString link = m_dir.filePath(QStringLiteral("link.ini"));
        QVERIFY(QFile::link(iniPath(), link));
        IniFile viaLink(QFile::encodeName(link));
        viaLink.writeString("CONF", "QUALITY", "4");
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readAll(iniPath()), QByteArray("[CONF]\nQUALITY=4\n"));
        struct stat info{};
        QVERIFY(::stat(QFile::encodeName(iniPath()).constData(), &info) == 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QFile::remove(link);
    }
};

QTEST_APPLESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
