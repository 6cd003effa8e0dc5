// The UDisks2 client against a stand-in service on a private system bus.
#include "common/PrivateSystemBus.h"
#include "devices/MediaLibrary.h"
#include "devices/UDisks2Devices.h"

#include <gpod/itdb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace tovilo;

namespace {

const QString Service = QStringLiteral("org.freedesktop.UDisks2");

dev_t deviceOf(const QString& path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : 0;
}

QStringList names(std::initializer_list<const char*> texts)
{
    QStringList list;
    for (const char* text : texts)
        list << QString::fromLatin1(text);
    return list;
}

// A mount table whose one row mounts `folder` with file system `type`.
bool writeMountTable(const QString& path, const QString& folder, const QByteArray& type)
{
    const dev_t device = deviceOf(folder);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write("40 27 " + QByteArray::number(major(device)) + ':' +
                      QByteArray::number(minor(device)) + " / " +
                      QFile::encodeName(folder).replace(" ", "\\040") + " rw - " + type +
                      " /dev/sdz1 rw\n") > 0;
}

struct RemovalOutcome
{
    int calls = 0;
    std::optional<RemovalFailure> failure;
};

} // namespace

Q_DECLARE_METATYPE(std::optional<RemovalFailure>)

class TestUDisks2 : public QObject
{
    Q_OBJECT

    QProcess m_daemon;
    QProcess m_standin;
    QTemporaryDir m_dir;
    QString m_ipod;
    QString m_mountInfo;
    std::unique_ptr<UDisks2Devices> m_devices;
    int m_volumes = 0;

    // Calls the stand-in's own interface (plain calls: no introspection needed).
    static QDBusMessage callStandin(const QString& method, const QList<QVariant>& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop/UDisks2"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        return QDBusConnection::systemBus().call(call);
    }

    void callMock(const QString& method, const QList<QVariant>& arguments)
    {
        const QDBusMessage reply = callStandin(method, arguments);
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    }

    // A new volume of the stand-in for the folder m_ipod, mounted there when `mounted`;
    // returns its name.
    QString addVolume(bool mounted, bool readOnly = false,
                      const QString& type = QStringLiteral("vfat"), bool canPowerOff = true)
    {
        const QString name = QStringLiteral("sdz%1").arg(++m_volumes);
        callMock(QStringLiteral("AddVolume"),
                 {name, QStringLiteral("/dev/") + name, qulonglong(deviceOf(m_ipod)), type,
                  mounted ? m_ipod : QString(), QStringLiteral("MY IPOD"), readOnly,
                  QStringLiteral("drive") + QString::number(m_volumes), canPowerOff});
        return name;
    }

    QStringList removalCalls()
    {
        const QDBusMessage reply = callStandin(QStringLiteral("RemovalCalls"));
        return reply.arguments().isEmpty() ? QStringList()
                                           : reply.arguments().constFirst().toStringList();
    }

    QList<QByteArray> mountPoints() const
    {
        QList<QByteArray> points;
        for (const MountedVolume& volume :
             m_devices->mountedVolumes().value_or(QList<MountedVolume>{}))
            points << volume.mountPoint;
        return points;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_ipod = m_dir.filePath(QStringLiteral("IPOD"));
        QVERIFY(QDir().mkpath(m_ipod));
        GError* error = nullptr;
        QVERIFY(itdb_init_ipod(QFile::encodeName(m_ipod).constData(), "MA446", "Test", &error));
        m_mountInfo = m_dir.filePath(QStringLiteral("mountinfo"));
        QVERIFY(writeMountTable(m_mountInfo, m_ipod, "vfat"));

        // A bus of our own stands for the system bus.
        QVERIFY2(tovilo::test::startPrivateSystemBus(m_daemon), "no private system bus");

        // Before UDisks2 answers there is nothing to offer and nothing to remove.
        m_devices = std::make_unique<UDisks2Devices>();
        QVERIFY(!m_devices->isAvailable());
        QVERIFY(!m_devices->mountedVolumes());

        // Its log of every call would drown the test's own output.
        QVERIFY(tovilo::test::startMock(m_standin, QStringLiteral(TOVILO_UDISKS2_STANDIN)));
        QTRY_VERIFY_WITH_TIMEOUT(m_devices->isAvailable(), 30000);
        QVERIFY(m_devices->mountedVolumes().has_value());
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        for (QProcess* process : {&m_standin, &m_daemon}) {
            process->terminate();
            process->waitForFinished();
        }
    }

    void volumesFollowTheService()
    {
        IpodLibraryFactory factory(m_mountInfo, m_devices.get());
        const QString name = addVolume(false);
        QVERIFY(mountPoints().isEmpty()); // not mounted yet

        // Mounted after it appeared, as the desktop's automounter does it.
        callMock(QStringLiteral("SetMountPoint"), {name, m_ipod});
        QTRY_COMPARE(mountPoints(), QList<QByteArray>{QFile::encodeName(m_ipod)});
        const MountedVolume volume = m_devices->mountedVolumes()->constFirst();
        QCOMPARE(volume.source, QByteArray("/dev/") + name.toLatin1());
        QCOMPARE(volume.fsType, QByteArray("vfat"));
        QCOMPARE(volume.label, QStringLiteral("MY IPOD"));
        QCOMPARE(volume.device, deviceOf(m_ipod));
        QCOMPARE(factory.deviceMountPoint(), QFile::encodeName(m_ipod));

        callMock(QStringLiteral("RemoveVolume"), {name});
        QTRY_VERIFY(mountPoints().isEmpty());
        QVERIFY(factory.deviceMountPoint().isEmpty());

        // The same rules as for the mount table, with the kernel's word on how it is mounted: a
        // partition UDisks2 calls NTFS that a FUSE driver mounted is not looked into.
        const QString fuse = addVolume(true, false, QStringLiteral("ntfs"));
        QTRY_COMPARE(mountPoints().size(), 1);
        QVERIFY(writeMountTable(m_mountInfo, m_ipod, "fuseblk"));
        QVERIFY(factory.deviceMountPoint().isEmpty());
        // Announced, but no longer (or not yet) in the mount table.
        QVERIFY(writeMountTable(m_mountInfo, m_dir.filePath(QStringLiteral("elsewhere")), "vfat"));
        QVERIFY(factory.deviceMountPoint().isEmpty());
        QVERIFY(writeMountTable(m_mountInfo, m_ipod, "vfat"));
        QCOMPARE(factory.deviceMountPoint(), QFile::encodeName(m_ipod));
        callMock(QStringLiteral("RemoveVolume"), {fuse});
        QTRY_VERIFY(mountPoints().isEmpty());
    }

    void readOnlyVolumeIsRefused()
    {
        IpodLibraryFactory factory(m_mountInfo, m_devices.get());
        const QString name = addVolume(true, true);
        QTRY_COMPARE(mountPoints().size(), 1);
        try {
            factory.createApplication();
            QFAIL("a read-only iPod was opened");
        } catch (const MediaError& error) {
            QCOMPARE(error.failure(), MediaFailure::ReadOnly);
        }
        callMock(QStringLiteral("RemoveVolume"), {name});
        QTRY_VERIFY(mountPoints().isEmpty());
    }

    void removal_data()
    {
        QTest::addColumn<bool>("canPowerOff");
        QTest::addColumn<QStringList>("failing"); // "Method=org.error.Name"
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<std::optional<RemovalFailure>>("failure");

        const std::optional<RemovalFailure> fine;
        const QString busy = QStringLiteral("Unmount=org.freedesktop.UDisks2.Error.DeviceBusy");
        QTest::newRow("unmounted, then powered off")
            << true << QStringList() << names({"Unmount", "PowerOff"}) << fine;
        QTest::newRow("busy: nothing else tried") << true << QStringList{busy} << names({"Unmount"})
                                                  << std::optional(RemovalFailure::Busy);
        QTest::newRow("not authorised")
            << true << names({"Unmount=org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"})
            << names({"Unmount"}) << std::optional(RemovalFailure::NotAuthorised);
        QTest::newRow("power off refused: ejected")
            << true << names({"PowerOff=org.freedesktop.UDisks2.Error.Failed"})
            << names({"Unmount", "PowerOff", "Eject"}) << fine;
        QTest::newRow("neither power off nor eject")
            << true
            << names({"PowerOff=org.freedesktop.UDisks2.Error.Failed",
                      "Eject=org.freedesktop.UDisks2.Error.Failed"})
            << names({"Unmount", "PowerOff", "Eject"})
            << std::optional(RemovalFailure::StillPowered);
        QTest::newRow("a drive that cannot power off is ejected")
            << false << QStringList() << names({"Unmount", "Eject"}) << fine;
    }

    void removal()
    {
        QFETCH(bool, canPowerOff);
        QFETCH(QStringList, failing);
        QFETCH(QStringList, calls);
        QFETCH(std::optional<RemovalFailure>, failure);

        for (const QString& method : names({"Unmount", "PowerOff", "Eject"}))
            callMock(QStringLiteral("SetFailure"), {method, QString()});
        for (const QString& rule : std::as_const(failing))
            callMock(QStringLiteral("SetFailure"),
                     {rule.section(QLatin1Char('='), 0, 0), rule.section(QLatin1Char('='), 1)});
        const QString name = addVolume(true, false, QStringLiteral("vfat"), canPowerOff);
        QTRY_COMPARE(mountPoints().size(), 1);
        const qsizetype before = removalCalls().size();

        RemovalOutcome outcome;
        QObject context;
        m_devices->removeDevice(QFile::encodeName(m_ipod), &context,
                                [&](std::optional<RemovalFailure> result) {
                                    ++outcome.calls;
                                    outcome.failure = result;
                                });
        QTRY_COMPARE(outcome.calls, 1);
        QCOMPARE(outcome.failure, failure);

        const QString block = QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + name;
        const QString drive =
            QStringLiteral("/org/freedesktop/UDisks2/drives/drive%1").arg(m_volumes);
        QStringList expected;
        for (const QString& method : std::as_const(calls))
            expected << method + QLatin1Char(' ') +
                            (method == QLatin1String("Unmount") ? block : drive);
        QCOMPARE(removalCalls().mid(before), expected);
        // Unmounted volumes leave the list through the service's own change signal.
        if (failure != RemovalFailure::Busy && failure != RemovalFailure::NotAuthorised)
            QTRY_VERIFY(mountPoints().isEmpty());
        callMock(QStringLiteral("RemoveVolume"), {name});
        QTRY_VERIFY(mountPoints().isEmpty());
    }

    void removalOfAnUnknownDevice()
    {
        const qsizetype before = removalCalls().size();
        RemovalOutcome outcome;
        QObject context;
        m_devices->removeDevice("/media/nobody/NONE", &context,
                                [&](std::optional<RemovalFailure> result) {
                                    ++outcome.calls;
                                    outcome.failure = result;
                                });
        QTRY_COMPARE(outcome.calls, 1);
        QCOMPARE(outcome.failure, std::optional(RemovalFailure::NotFound));
        QCOMPARE(removalCalls().size(), before);

        // A window closed while its removal runs is not called back.
        const QString name = addVolume(true);
        QTRY_COMPARE(mountPoints().size(), 1);
        auto gone = std::make_unique<QObject>();
        bool called = false;
        m_devices->removeDevice(QFile::encodeName(m_ipod), gone.get(),
                                [&](std::optional<RemovalFailure>) { called = true; });
        gone.reset();
        QTRY_COMPARE(removalCalls().size(), before + 2);
        // The stand-in answered the power-off before this question: deliver that answer.
        QCoreApplication::processEvents();
        QVERIFY(!called);
        callMock(QStringLiteral("RemoveVolume"), {name});
        QTRY_VERIFY(mountPoints().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUDisks2)
#include "tst_udisks2.moc"
