#pragma once

#include <QString>
#include <QtGlobal>

namespace tovilo {

// The desktop around the main window: the queue's progress on the task bar or dock, and
// notices for a user who is looking elsewhere.
class DesktopService
{
public:
    virtual ~DesktopService() = default;
    // fraction: 0..1 of the whole queue; jobsLeft counts the running job too.
    virtual void showProgress(double fraction, qint64 jobsLeft) = 0;
    virtual void clearProgress() = 0;
    virtual void notify(const QString& summary, const QString& body) = 0;
};

// Shows nothing anywhere: for windows that are given no desktop.
DesktopService& noDesktop();

} // namespace tovilo
