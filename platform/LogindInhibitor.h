#pragma once

#include "platform/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>

class QDBusPendingCallWatcher;

namespace tovilo {

// The sleep inhibitor of systemd-logind on the system bus: Inhibit("sleep:idle", "Tovilo",
// "動画を変換しています", "block") hands out a descriptor that blocks sleep for as long as it is
// open, and PrepareForSleep tells of a sleep that goes ahead. The call is made without
// waiting for its answer. Without a system bus or without logind nothing happens.
class LogindInhibitor : public SleepInhibitor
{
    Q_OBJECT

public:
    explicit LogindInhibitor(QObject* parent = nullptr);
    ~LogindInhibitor() override;

    void setHeld(bool held) override;
    bool isHeld() const override { return m_wanted; }
    // The descriptor is open (logind answered).
    bool holdsDescriptor() const { return m_descriptor.isValid(); }
    // Logind has been asked and has not answered yet.
    bool isAsking() const { return m_pending != nullptr; }

private Q_SLOTS:
    void prepareForSleep(bool beforeSleep);

private:
    void answered(QDBusPendingCallWatcher* call);

    QDBusConnection m_bus;
    bool m_wanted = false;
    QDBusPendingCallWatcher* m_pending = nullptr;
    QDBusUnixFileDescriptor m_descriptor;
};

} // namespace tovilo
