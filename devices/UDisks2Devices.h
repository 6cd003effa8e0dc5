#pragma once

#include "devices/DeviceRemoval.h"
#include "devices/MountedVolumes.h"

#include <QDBusConnection>
#include <QMap>
#include <QObject>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace tovilo {

// The mounted volumes the desktop knows, as UDisks2 reports them on the system bus: its
// object manager's InterfacesAdded and InterfacesRemoved, and the file systems' MountPoints
// as they change. Removal unmounts a volume (Filesystem.Unmount) and powers its drive off
// (Drive.PowerOff, falling back to Drive.Eject). Nothing is waited for: until UDisks2 has
// answered, and where it never does, the client has no volumes to offer and removes nothing.
class UDisks2Devices : public QObject, public VolumeSource, public DeviceRemovalService
{
    Q_OBJECT

public:
    explicit UDisks2Devices(QDBusConnection bus = QDBusConnection::systemBus(),
                            QObject* parent = nullptr);
    ~UDisks2Devices() override;

    // Nothing until UDisks2 has listed its objects.
    std::optional<QList<MountedVolume>> mountedVolumes() const override;

    bool isAvailable() const override { return m_answered; }
    void removeDevice(const QByteArray& mountPoint, QObject* context, Done done) override;

signals:
    // The list of mounted volumes, or whether UDisks2 answers, may have changed.
    void volumesChanged();

private:
    struct Block
    {
        QByteArray device;
        quint64 deviceNumber = 0;
        QString drive;
        bool readOnly = false;
        QString label;
        QByteArray idType;
        bool hasFilesystem = false;
        QList<QByteArray> mountPoints;
    };
    struct Drive
    {
        bool canPowerOff = false;
    };
    struct Removal;

    void fetchObjects();
    void objectsFetched(QDBusPendingCallWatcher* call);
    void updateObject(const QString& path, const QMap<QString, QVariantMap>& interfaces);
    void removeInterfaces(const QString& path, const QStringList& interfaces);

    void serviceGone();

    void callStep(const std::shared_ptr<Removal>& removal, const QString& path,
                  const QString& interface, const QString& method);
    void stepDone(const std::shared_ptr<Removal>& removal, const QDBusMessage& reply);

private slots:
    void interfacesAdded(const QDBusMessage& message);
    void interfacesRemoved(const QDBusMessage& message);
    void propertiesChanged(const QDBusMessage& message);

private:
    QDBusConnection m_bus;
    bool m_answered = false;
    QMap<QString, Block> m_blocks;
    QMap<QString, Drive> m_drives;
};

} // namespace tovilo
