#include "devices/UDisks2Devices.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>

#include <sys/sysmacros.h>

namespace tovilo {

namespace {

const QString Service = QStringLiteral("org.freedesktop.UDisks2");
const QString ManagerPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString ObjectPrefix = QStringLiteral("/org/freedesktop/UDisks2/");
const QString ObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString BlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString FilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString DriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");

// Listing every object of a busy machine takes a moment; a dead service must not keep the
// client waiting for ever all the same.
constexpr int ListTimeoutMs = 30000;
// Unmounting writes out what is still cached, which on a slow device takes a while.
constexpr int RemovalStepTimeoutMs = 120000;

using InterfaceMap = QMap<QString, QVariantMap>;

// UDisks2 ends its byte-string paths with a NUL.
QByteArray withoutNul(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

QList<QByteArray> byteStrings(const QVariant& value)
{
    QList<QByteArray> strings;
    for (const QByteArray& bytes : qdbus_cast<QList<QByteArray>>(value))
        strings.append(withoutNul(bytes));
    return strings;
}

QString objectPath(const QVariant& value)
{
    return qdbus_cast<QDBusObjectPath>(value).path();
}

RemovalFailure failureOf(const QString& errorName)
{
    if (errorName == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy"))
        return RemovalFailure::Busy;
    if (errorName.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
        return RemovalFailure::NotAuthorised;
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
        return RemovalFailure::NotFound;
    return RemovalFailure::Failed;
}

} // namespace

// One removal on its way: unmount, then power off, then (only if that failed) eject.
struct UDisks2Devices::Removal
{
    enum class Step
    {
        Unmount,
        PowerOff,
        Eject
    };
    Step step = Step::Unmount;
    QString block;
    QString drive;
    bool canPowerOff = false;
    QPointer<QObject> context;
    Done done;

    void finish(std::optional<RemovalFailure> failure)
    {
        if (context && done)
            done(failure);
        done = nullptr;
    }
};

UDisks2Devices::UDisks2Devices(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected())
        return;
    m_bus.connect(Service, ManagerPath, ObjectManager, QStringLiteral("InterfacesAdded"), this,
                  SLOT(interfacesAdded(QDBusMessage)));
    m_bus.connect(Service, ManagerPath, ObjectManager, QStringLiteral("InterfacesRemoved"), this,
                  SLOT(interfacesRemoved(QDBusMessage)));
    // A file system is added before it is mounted: its mount points change afterwards.
    m_bus.connect(Service, QString(), Properties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(propertiesChanged(QDBusMessage)));
    auto* watcher =
        new QDBusServiceWatcher(Service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, &UDisks2Devices::serviceGone);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &UDisks2Devices::fetchObjects);
    fetchObjects();
}

UDisks2Devices::~UDisks2Devices() = default;

void UDisks2Devices::fetchObjects()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(Service, ManagerPath, ObjectManager,
                                                             QStringLiteral("GetManagedObjects"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, ListTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &UDisks2Devices::objectsFetched);
}

void UDisks2Devices::objectsFetched(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    m_blocks.clear();
    m_drives.clear();
    const QDBusArgument objects = reply.arguments().constFirst().value<QDBusArgument>();
    objects.beginMap();
    while (!objects.atEnd()) {
        QDBusObjectPath path;
        InterfaceMap interfaces;
        objects.beginMapEntry();
        objects >> path >> interfaces;
        objects.endMapEntry();
        updateObject(path.path(), interfaces);
    }
    objects.endMap();
    m_answered = true;
    emit volumesChanged();
}

void UDisks2Devices::updateObject(const QString& path, const InterfaceMap& interfaces)
{
    if (!path.startsWith(ObjectPrefix))
        return;
    if (interfaces.contains(BlockInterface) || interfaces.contains(FilesystemInterface)) {
        Block& block = m_blocks[path];
        if (interfaces.contains(BlockInterface)) {
            const QVariantMap& properties = interfaces[BlockInterface];
            const auto value = [&](const char* name) {
                return properties.value(QLatin1String(name));
            };
            const auto has = [&](const char* name) {
                return properties.contains(QLatin1String(name));
            };
            if (has("Device"))
                block.device = withoutNul(qdbus_cast<QByteArray>(value("Device")));
            if (has("DeviceNumber"))
                block.deviceNumber = qdbus_cast<qulonglong>(value("DeviceNumber"));
            if (has("Drive"))
                block.drive = objectPath(value("Drive"));
            if (has("ReadOnly"))
                block.readOnly = qdbus_cast<bool>(value("ReadOnly"));
            if (has("IdLabel"))
                block.label = qdbus_cast<QString>(value("IdLabel"));
            if (has("IdType"))
                block.idType = qdbus_cast<QString>(value("IdType")).toUtf8();
        }
        if (interfaces.contains(FilesystemInterface)) {
            block.hasFilesystem = true;
            const QVariantMap& properties = interfaces[FilesystemInterface];
            if (properties.contains(QStringLiteral("MountPoints")))
                block.mountPoints = byteStrings(properties[QStringLiteral("MountPoints")]);
        }
    }
    if (interfaces.contains(DriveInterface)) {
        const QVariantMap& properties = interfaces[DriveInterface];
        if (properties.contains(QStringLiteral("CanPowerOff")))
            m_drives[path].canPowerOff =
                qdbus_cast<bool>(properties[QStringLiteral("CanPowerOff")]);
        else
            m_drives[path];
    }
}

void UDisks2Devices::removeInterfaces(const QString& path, const QStringList& interfaces)
{
    if (interfaces.contains(BlockInterface))
        m_blocks.remove(path);
    else if (interfaces.contains(FilesystemInterface) && m_blocks.contains(path))
        m_blocks[path].hasFilesystem = false;
    if (interfaces.contains(DriveInterface))
        m_drives.remove(path);
}

void UDisks2Devices::interfacesAdded(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2)
        return;
    updateObject(qdbus_cast<QDBusObjectPath>(arguments[0]).path(),
                 qdbus_cast<InterfaceMap>(arguments[1]));
    emit volumesChanged();
}

void UDisks2Devices::interfacesRemoved(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2)
        return;
    removeInterfaces(qdbus_cast<QDBusObjectPath>(arguments[0]).path(),
                     qdbus_cast<QStringList>(arguments[1]));
    emit volumesChanged();
}

void UDisks2Devices::propertiesChanged(const QDBusMessage& message)
{
    const QList<QVariant> arguments = message.arguments();
    const QString path = message.path();
    if (arguments.size() < 2 || !m_answered || !path.startsWith(ObjectPrefix))
        return;
    const QString interface = qdbus_cast<QString>(arguments[0]);
    if (interface != BlockInterface && interface != FilesystemInterface &&
        interface != DriveInterface)
        return;
    // Properties of objects not yet announced are left to InterfacesAdded.
    if (!m_blocks.contains(path) && !m_drives.contains(path))
        return;
    updateObject(path, {{interface, qdbus_cast<QVariantMap>(arguments[1])}});
    emit volumesChanged();
}

void UDisks2Devices::serviceGone()
{
    m_answered = false;
    m_blocks.clear();
    m_drives.clear();
    emit volumesChanged();
}

std::optional<QList<MountedVolume>> UDisks2Devices::mountedVolumes() const
{
    if (!m_answered)
        return std::nullopt;
    QList<MountedVolume> volumes;
    for (const Block& block : m_blocks) {
        if (!block.hasFilesystem)
            continue;
        for (const QByteArray& mountPoint : block.mountPoints) {
            MountedVolume volume;
            volume.mountPoint = mountPoint;
            volume.source = block.device;
            volume.fsType = block.idType;
            volume.device = static_cast<dev_t>(block.deviceNumber);
            volume.label = block.label;
            volume.readOnly = block.readOnly;
            volumes.append(volume);
        }
    }
    return volumes;
}

void UDisks2Devices::removeDevice(const QByteArray& mountPoint, QObject* context, Done done)
{
    auto removal = std::make_shared<Removal>();
    removal->context = context;
    removal->done = std::move(done);
    const auto block = std::find_if(m_blocks.cbegin(), m_blocks.cend(), [&](const Block& b) {
        return b.hasFilesystem && b.mountPoints.contains(mountPoint);
    });
    if (!m_answered || block == m_blocks.cend()) {
        // Reported from the event loop, as every other outcome is.
        QMetaObject::invokeMethod(
            this, [removal] { removal->finish(RemovalFailure::NotFound); }, Qt::QueuedConnection);
        return;
    }
    removal->block = block.key();
    removal->drive = block->drive;
    removal->canPowerOff = m_drives.value(block->drive).canPowerOff;
    callStep(removal, removal->block, FilesystemInterface, QStringLiteral("Unmount"));
}

void UDisks2Devices::callStep(const std::shared_ptr<Removal>& removal, const QString& path,
                              const QString& interface, const QString& method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, path, interface, method);
    call << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, RemovalStepTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, removal](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                stepDone(removal, finished->reply());
            });
}

void UDisks2Devices::stepDone(const std::shared_ptr<Removal>& removal, const QDBusMessage& reply)
{
    const bool ok = reply.type() == QDBusMessage::ReplyMessage;
    switch (removal->step) {
    case Removal::Step::Unmount:
        if (!ok && reply.errorName() != QLatin1String("org.freedesktop.UDisks2.Error.NotMounted")) {
            removal->finish(failureOf(reply.errorName()));
            return;
        }
        // A file system without a drive (a loop device) is safe once unmounted.
        if (removal->drive.isEmpty() || removal->drive == QLatin1String("/") ||
            !m_drives.contains(removal->drive)) {
            removal->finish(std::nullopt);
            return;
        }
        removal->step = removal->canPowerOff ? Removal::Step::PowerOff : Removal::Step::Eject;
        callStep(removal, removal->drive, DriveInterface,
                 removal->canPowerOff ? QStringLiteral("PowerOff") : QStringLiteral("Eject"));
        return;
    case Removal::Step::PowerOff:
        if (ok) {
            removal->finish(std::nullopt);
            return;
        }
        removal->step = Removal::Step::Eject;
        callStep(removal, removal->drive, DriveInterface, QStringLiteral("Eject"));
        return;
    case Removal::Step::Eject:
        // The data is safe either way: the file system is no longer mounted.
        removal->finish(ok ? std::nullopt : std::optional(RemovalFailure::StillPowered));
        return;
    }
}

DeviceRemovalService& noDeviceRemoval()
{
    class NoRemoval : public DeviceRemovalService
    {
    public:
        bool isAvailable() const override { return false; }
        void removeDevice(const QByteArray&, QObject* context, Done done) override
        {
            QMetaObject::invokeMethod(
                context, [done] { done(RemovalFailure::NotFound); }, Qt::QueuedConnection);
        }
    };
    static NoRemoval removal;
    return removal;
}

} // namespace tovilo
