#pragma once

#include "engine/ConversionProgress.h"
#include "engine/MediaHandOver.h"
#include "engine/QueueKeeper.h"
#include "platform/FileSystem.h"
#include "platform/SleepInhibitor.h"
#include "queue/ThConvertInfo.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

namespace tovilo {

class ConversionRunner;
class DesktopService;
class DeviceRemovalService;
class MediaLibraryFactory;

// Works off the conversion queue job by job through a runner: claims each output name, builds
// the encoder's command, keeps why a job failed, counts the results, stops, pauses and cleans
// up after failed or stopped jobs. It owns the queue, which announces its own changes, and
// ties together the rooms beside it: the progress shown, the queue kept on disk and the
// hand-over that follows a run. The runner and the services belong to whoever made it. No
// widgets; what is to be drawn is signalled.
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
    // Works off the waiting jobs, converting to MP3 when audioOnly; the results are handed to
    // the media library about a second after the queue is done when handOverAfterwards. False,
    // and nothing starts, while a hand-over runs or waits: the two never overlap.
    bool start(bool audioOnly, bool handOverAfterwards = false);
    // Starts the first waiting job, or signals queueDone when none is left.
    void startNextJob();
    // Stops the running job, puts it back to waiting and deletes its partial output. False when
    // nothing runs or a stop is already under way.
    bool stop();
    // No further job is started: the program is ending.
    void halt();
    // The queue has been worked off: tells a user who looks elsewhere, clears the progress,
    // and schedules the hand-over when the run asked for one.
    void endQueue(bool userElsewhere);
    MediaHandOver& handOver() { return m_handOver; }
    // A conversion or a hand-over: whatever runs keeps the window busy.
    bool isHandingOver() const { return m_handOver.isRunning(); }

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
    const QueueKeeper& queueKeeper() const { return m_keeper; }
    QueueStore::Restored keepQueueIn(const QByteArray& dataFolder)
    {
        return m_keeper.keepIn(dataFolder);
    }

    bool isRunning() const;
    bool isCancelling() const { return m_cancelling; }
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
    void handOverStarted();
    void handOverFinished(const tovilo::HandOverResult& result);
    void pausedChanged(bool paused);

private:
    // The runner's events of the running job.
    void DosCommandConvertNewLine(const QByteArray& line);
    void DosCommandConvertTerminated(quint32 exitCode);
    ThConvertInfoObject* takeNextWaiting();
    ThConvertInfoObject* currentJob() const;
    void startNextJobLater();
    // Runs a step from the event loop; an error escaping it is signalled.
    void guardedStep(const std::function<void()>& step);
    void deletePartialOutput();
    void setPausedState(bool paused);
    void endRun();
    void updateInhibitor();
    void showSituation();

    ThConvertInfoObjectList m_jobs;
    ConversionRunner& m_runner;
    DesktopService& m_desktop;
    ConversionProgress m_progress;
    QueueKeeper m_keeper;
    MediaHandOver m_handOver;
    bool m_handOverAfterwards = false;
    // The running job's output, as it was made for it.
    OwnedFile m_output;
    // The running job's notice line, which its row keeps if it converts.
    QByteArray m_notice;

    bool m_cancelling = false;
    bool m_halted = false;
    // No job before this index waits: the jobs of a run only leave the waiting state.
    int m_searchFrom = 0;
    int m_currentIndex = -1;
    int m_converted = 0;
    int m_failed = 0;

    bool m_queueRunning = false; // from start() until the queue is done or stopped
    bool m_paused = false;
    bool m_pausedForSleep = false;
    bool m_nextAfterResume = false; // a job ended while paused: the next starts on resume
    QPointer<SleepInhibitor> m_inhibitor;
};

} // namespace tovilo
