#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class ThConvertInfoObjectList;

namespace tovilo {

class DesktopService;
class DeviceRemovalService;
class MediaLibraryFactory;

// How a hand-over to the media library ended, and what the situation line then says.
struct HandOverResult
{
    enum Outcome
    {
        Done,    // every converted job is on the device
        Partial, // some jobs reached the device, the others stay converted
        Failed,  // nothing was added to the device; the jobs stay converted
    };
    Outcome outcome = Done;
    QString situation;     // empty when Done
    QByteArray mountPoint; // of the device written to, for removing it; empty when none
    int notFitting = 0;    // converted jobs left off for want of room (Done all the same)
};

// Hands the converted jobs' files to the media library on a worker thread. Before the first
// copy it takes, in queue order, what fits into the device's room, passing over what is on the
// device already and what does not fit; then copies last job first: the situation tells which
// file is on its way, the desktop shows the bytes done, and finished tells the end, once the
// rows have their new statuses and notes. Afterwards it can remove the device. No widgets; what
// the user is asked goes through the question given.
class MediaHandOver : public QObject
{
    Q_OBJECT

public:
    // Without `removal`, no device is removed.
    MediaHandOver(ThConvertInfoObjectList& jobs, DesktopService& desktop,
                  MediaLibraryFactory& mediaLibrary, DeviceRemovalService* removal,
                  QObject* parent = nullptr);
    ~MediaHandOver() override; // a hand-over under way ends after its file, database written

    // Asked before a device without a library is set up (emptied): true allows it.
    void setSetUpQuestion(std::function<bool()> allowSetUp)
    {
        m_allowSetUp = std::move(allowSetUp);
    }

    // Starts about a second from now (TimerRegistiTunes), as the queue's end leaves it.
    void schedule();
    bool isScheduled() const;
    // What was scheduled starts now instead; false when nothing was.
    bool startScheduled();
    // Starts now. A device without a library is set up first when there is something to hand
    // over and the question allows it, asked before the worker starts. A failure found before
    // that is signalled at once; nothing starts once halted or while one runs.
    void AddToiTunes();
    // Ends after the current file; what reached the device is kept.
    void stop();
    // Nothing is started any more: the program is ending.
    void halt();
    bool isRunning() const { return m_run != nullptr; }

    bool canRemoveDevice() const;
    // Unmounts and switches off the device at `mountPoint`; the situation tells how it went.
    void removeDevice(const QByteArray& mountPoint);

Q_SIGNALS:
    void started();
    void finished(const tovilo::HandOverResult& result);
    void situationChanged(const QString& text);

private:
    struct Run;
    void TimerRegistiTunesTimer();
    // `done`: the share of the bytes to copy that are on the device.
    void showProgress(int number, int count, int notFitting, double done);
    void finish();

    ThConvertInfoObjectList& m_jobs;
    DesktopService& m_desktop;
    MediaLibraryFactory& m_mediaLibrary;
    DeviceRemovalService* m_removal;
    std::function<bool()> m_allowSetUp;
    QTimer* TimerRegistiTunes;
    std::unique_ptr<Run> m_run;
    bool m_halted = false;
};

} // namespace tovilo
