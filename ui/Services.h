#pragma once

#include "devices/DeviceRemoval.h"
#include "devices/DriveService.h"
#include "devices/MediaLibraryFactory.h"
#include "platform/DesktopService.h"
#include "platform/SleepInhibitor.h"
#include "ui/PromptService.h"
#include "ui/ShellService.h"

#include <cstddef>

namespace tovilo {

// A service the window uses, made from a reference so that it is never null: a caller that
// has no such service passes an object that does nothing.
template <typename Service> class ServiceRef
{
public:
    // Implicit, so a Services object is written as {prompt, shell, drives, mediaLibrary}.
    ServiceRef(Service& service) : m_service(&service) {}
    ServiceRef(std::nullptr_t) = delete;

    Service* operator->() const { return m_service; }
    Service& operator*() const { return *m_service; }

private:
    Service* m_service;
};

// Everything the windows get from outside; tests put fakes in place.
struct Services
{
    ServiceRef<PromptService> prompt;
    ServiceRef<ShellService> shell;
    ServiceRef<DriveService> drives;
    ServiceRef<MediaLibraryFactory> mediaLibrary;
    // Windows given no desktop keep the queue's progress to themselves.
    ServiceRef<DesktopService> desktop = noDesktop();
    // Without it, no window offers to remove a device.
    ServiceRef<DeviceRemovalService> deviceRemoval = noDeviceRemoval();
    // Without it, the machine may sleep under a conversion.
    ServiceRef<SleepInhibitor> sleep = noSleepInhibitor();
    // The queue is kept in the data folder across runs. Off, each window starts empty and
    // leaves nothing behind.
    bool keepQueue = false;
    // Why the queue cannot be kept this run (an errno), said once at start-up; 0 for none.
    int queueNotKept = 0;
};

} // namespace tovilo
