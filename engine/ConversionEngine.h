#pragma once

#include "platform/FileSystem.h"
#include "queue/ThConvertInfo.h"

#include "engine/EncoderOutput.h"
#include "engine/QueueStore.h"
#include "platform/SleepInhibitor.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

namespace tovilo {

class ConversionRunner;
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
};

// Works off the conversion queue job by job through a runner: claims each output name, builds
// the encoder's command, reads the progress and the source's length, keeps why a job failed,
// counts the results, shows the queue's progress on the desktop, stops on request and cleans
// up after failed or stopped jobs, hands the converted files to the media library on a worker
// thread and removes the device afterwards. It owns the queue, which announces its own changes;
// the runner and the services belong to whoever made it. No widgets; what is to be drawn is
// signalled.
class ConversionEngine : public QObject
{
    Q_OBJECT

public:
    // Without `removal`, no device is removed.
    ConversionEngine(ConversionRunner& runner, DesktopService& desktop,
                     MediaLibraryFactory& mediaLibrary, DeviceRemovalService* removal = nullptr,
                     QObject* parent = nullptr);
    ~ConversionEngine() override;

    ThConvertInfoObjectList& jobs() { return m_jobs; }
    const ThConvertInfoObjectList& jobs() const { return m_jobs; }

    // Any job converted or transferred.
    bool hasFinishedJobs() const;
    // Removes the converted and transferred jobs and puts failed ones back to waiting.
    void purgeFinishedJobs();
    // Works off the waiting jobs, converting to MP3 when audioOnly; the results are to be
    // handed to the media library afterwards when handOverAfterwards.
    void start(bool audioOnly, bool handOverAfterwards = false);
    bool handsOverAfterwards() const { return m_handOverAfterwards; }
    // Starts the first waiting job, or signals queueDone when none is left.
    void startNextJob();
    // Stops the running job, puts it back to waiting and deletes its partial output. False when
    // nothing runs or a stop is already under way.
    bool stop();
    // No further job is started: the program is ending.
    void halt();
    // The queue has been worked off: tells a user who looks elsewhere, clears the progress.
    void endQueue(bool userElsewhere);
    // Adds every converted job's output to the media library, last job first, on a worker
    // thread: the situation tells which file is on its way, the desktop shows the bytes done,
    // and handOverFinished tells the end, once the rows have their new statuses. A device
    // without a library is set up first when there is something to hand over and allowSetUp,
    // asked here before the worker starts, says so. A failure found before that is signalled
    // at once; nothing is started once halted.
    void startHandOver(const std::function<bool()>& allowSetUp = {});
    // The hand-over ends after the current file; what reached the device is kept.
    void stopHandOver();
    bool canRemoveDevice() const;
    // Unmounts and switches off the device at `mountPoint`; the situation tells how it went.
    void removeDevice(const QByteArray& mountPoint);

    // Stops the running job's encoder where it is (its whole process group), and lets it go
    // on. Between two jobs a pause holds the next one back. False when no queue is being
    // worked off or it is already so.
    bool pause();
    bool resume();
    bool isPaused() const { return m_paused; }

    // Holds the inhibitor while converting or handing over (not while paused), and pauses
    // while the machine sleeps.
    void setSleepInhibitor(SleepInhibitor& inhibitor);

    // Keeps the queue in the data folder from now on, after putting back what was kept there.
    QueueStore::Restored keepQueueIn(const QByteArray& dataFolder);
    // The queue was changed by someone else (jobs added or removed): it is saved.
    void queueChanged();
    // The convert mode kept with the queue.
    void setConvertMode(int mode) { m_mode = mode; }

    bool isRunning() const;
    bool isCancelling() const { return m_cancelling; }
    bool isHandingOver() const { return m_handOver != nullptr; }
    int convertedCount() const { return m_converted; }
    int failedCount() const { return m_failed; }

    // The first free variant of an output path: "(1)", "(2)", ... before the extension.
    static QByteArray uniqueFileName(const QByteArray& path);

Q_SIGNALS:
    void situationChanged(const QString& text);
    // No job is left waiting.
    void queueDone();
    // The stopped or failed job's output could not be deleted in time, or its name now leads to
    // something this job did not make (left alone).
    void outputNotDeleted(const QByteArray& path);
    // An error escaped a step the engine ran from the event loop.
    void errorRaised(const QString& message);
    void handOverFinished(const tovilo::HandOverResult& result);
    void pausedChanged(bool paused);

private:
    // The runner's events of the running job.
    void lineReceived(const QByteArray& line);
    void runFinished(quint32 exitCode);
    ThConvertInfoObject* takeNextWaiting();
    ThConvertInfoObject* currentJob() const;
    void startNextJobLater();
    // Runs a step from the event loop; an error escaping it is signalled.
    void guardedStep(const std::function<void()>& step);
    void deletePartialOutput();
    // The queue's progress on the desktop; currentFraction is the running job's share done.
    void publishProgress(double currentFraction);
    void clearProgress();
    struct HandOver;
    void handOverProgress(int number, qint64 bytesDone);
    void finishHandOver();
    void scheduleSave();
    void setPausedState(bool paused);
    void endRun();
    void updateInhibitor();
    // The progress, the time left and the pause, as the situation line shows them.
    void showSituation();
    double workedSeconds() const;

    ThConvertInfoObjectList m_jobs;
    ConversionRunner& m_runner;
    DesktopService& m_desktop;
    MediaLibraryFactory& m_mediaLibrary;
    DeviceRemovalService* m_removal;
    std::unique_ptr<HandOver> m_handOver;
    bool m_handOverAfterwards = false;
    // The running job's output, as it was made for it.
    OwnedFile m_output;

    bool m_cancelling = false;
    bool m_halted = false;
    // No job before this index waits: the jobs of a run only leave the waiting state.
    int m_searchFrom = 0;
    int m_currentIndex = -1;
    int m_queueSize = 0; // jobs waiting when the run started
    int m_started = 0;   // jobs of this run started so far
    int m_converted = 0;
    int m_failed = 0;
    double m_sourceLength = 0; // of the running job's source, in seconds; 0 while unknown
    int m_publishedPercent = -1;
    int m_publishedJobsLeft = -1;

    bool m_queueRunning = false; // from start() until the queue is done or stopped
    bool m_paused = false;
    bool m_pausedForSleep = false;
    bool m_nextAfterResume = false; // a job ended while paused: the next starts on resume
    QElapsedTimer m_jobClock;
    qint64 m_pausedMs = 0;      // of the running job, finished pauses
    qint64 m_pauseStartMs = -1; // on the job clock, while paused
    RemainingTime m_remaining;
    QString m_progressText;
    QString m_remainingText;
    QPointer<SleepInhibitor> m_inhibitor;
    std::unique_ptr<QueueStore> m_store;
    int m_mode = 0;
    bool m_savePending = false;
    bool m_unsaved = false; // the queue changed since its last save
};

} // namespace tovilo
