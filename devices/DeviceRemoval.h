#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class QObject;

namespace tovilo {

// Why a device could not be removed; the window words it for the user.
enum class RemovalFailure
{
    Failed,        // anything else
    Busy,          // a program still has files open on the device
    NotAuthorised, // the system refused the user
    NotFound,      // the device is no longer known, or not mounted where it was
    StillPowered,  // unmounted, but the drive could be neither powered off nor ejected
};

// Unmounts a device and switches it off, so that it shows it may be unplugged.
class DeviceRemovalService
{
public:
    virtual ~DeviceRemovalService() = default;

    // False when there is nobody to ask; a window then offers no removal.
    virtual bool isAvailable() const = 0;

    // Removes the device mounted at `mountPoint` without waiting for it. `done` is called from
    // the event loop, once, with nothing on success; never after `context` is destroyed.
    using Done = std::function<void(std::optional<RemovalFailure> failure)>;
    virtual void removeDevice(const QByteArray& mountPoint, QObject* context, Done done) = 0;
};

// Removes nothing and says so: for windows that are given no removal.
DeviceRemovalService& noDeviceRemoval();

} // namespace tovilo
