#pragma once

#include "devices/DriveService.h"
#include "devices/MountInfo.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tovilo {

// Reads sysfs, mountinfo and udev's by-label links. The roots are parameters so tests can
// lay out a whole fake machine in a temporary folder.
class LinuxDriveService : public DriveService
{
public:
    explicit LinuxDriveService(QString sysRoot = QStringLiteral("/sys"),
                               QString procRoot = QStringLiteral("/proc"),
                               QString devRoot = QStringLiteral("/dev"));

    QList<OpticalDrive> opticalDrives() override;
    bool isReady(const QByteArray& root) override;
    std::unique_ptr<MountChangeSource> watchMounts() override;

private:
    QByteArray m_sysRoot;
    QByteArray m_procRoot;
    QByteArray m_devRoot;
};

// While started, calls `changed` (from the event loop) whenever the service's optical drives
// look different after a change of the mount table: a disc mounted or unmounted on one of
// them. Other mounts do not call it. Stopped, it holds no descriptor and costs nothing.
class OpticalMountWatcher : public QObject
{
public:
    OpticalMountWatcher(DriveService& drives, std::function<void()> changed,
                        QObject* parent = nullptr);
    ~OpticalMountWatcher() override;

    void start();
    void stop();
    bool isWatching() const { return m_notifier != nullptr; }

private:
    void signalled();
    void compare();

    DriveService& m_drives;
    std::function<void()> m_changed;
    std::unique_ptr<MountChangeSource> m_source;
    QSocketNotifier* m_notifier = nullptr;
    QList<OpticalDrive> m_seen;
};

// Reports every file below `folder` (which ends in "/") whose extension is exactly ".VOB",
// except "VIDEO_TS.VOB", and every file named exactly "VR_MOVIE.VRO" (the programme of a
// DVD-VR recording), with its name without the extension and its full path. Sub-folders
// are searched depth first in directory order, at most `maxDepth` levels deep; symbolic links
// to folders are not followed, and folders that cannot be opened are skipped silently.
void findChapterFiles(
    const QByteArray& folder,
    const std::function<void(const QByteArray& name, const QByteArray& fullPath)>& found,
    int maxDepth = 16);

} // namespace tovilo
