#pragma once

#include <QByteArray>
#include <QList>

#include <memory>

namespace tovilo {

class MountChangeSource;

// One CD/DVD drive. Byte strings are in the system code page.
struct OpticalDrive
{
    QByteArray root;   // the mount point with a trailing "/", or the device path when unmounted
    QByteArray label;  // the volume label, empty when none is known
    QByteArray device; // e.g. "/dev/sr0"
    bool mounted = false;

    friend bool operator==(const OpticalDrive&, const OpticalDrive&) = default;
};

// The optical drives of the machine, as the chapter selection dialog sees them.
class DriveService
{
public:
    virtual ~DriveService() = default;

    // In device order (sr0, sr1, ..., sr9, sr10).
    virtual QList<OpticalDrive> opticalDrives() = 0;
    // True when `root` is the root of a mounted drive whose file system answers a size query.
    virtual bool isReady(const QByteArray& root) = 0;
    // Something that signals when the mount table may have changed; null when the service
    // cannot tell.
    virtual std::unique_ptr<MountChangeSource> watchMounts();
};

} // namespace tovilo
