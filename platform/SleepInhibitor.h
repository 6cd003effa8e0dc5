#pragma once

#include <QObject>

namespace tovilo {

// Keeps the machine from sleeping while work runs, and says when it is about to sleep or has
// woken up (a suspend the user asked for goes ahead regardless).
class SleepInhibitor : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    // Holds the inhibitor, or lets it go; repeating either changes nothing.
    virtual void setHeld(bool held) = 0;
    virtual bool isHeld() const = 0;

Q_SIGNALS:
    // true just before the machine sleeps, false once it has woken up.
    void sleeping(bool beforeSleep);
};

// Holds nothing and never sleeps: for windows given no session.
SleepInhibitor& noSleepInhibitor();

} // namespace tovilo
