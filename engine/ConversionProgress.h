#pragma once

#include "engine/EncoderOutput.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

namespace tovilo {

class DesktopService;

// How far the running queue has come, as the user sees it: the progress line with the time
// left for the running file, and the share of the whole queue done on the desktop.
class ConversionProgress
{
public:
    explicit ConversionProgress(DesktopService& desktop) : m_desktop(desktop) {}

    // A run of queueSize waiting jobs begins.
    void startRun(int queueSize);
    // The next job of the run begins: nothing is known of its source yet.
    void startJob();
    // Reads one line of the running encoder; true when the situation line changed.
    bool readLine(const QByteArray& line);
    // Paused time is not worked time: the estimate leaves it out.
    void setPaused(bool paused);
    // The progress, the time left and the pause, as the situation line shows them.
    QString situation(bool paused) const;
    // The texts go; the desktop no longer shows a share.
    void clear();
    void clearTexts();

private:
    // The queue's share done on the desktop; currentFraction is the running job's share.
    void publish(double currentFraction);
    double workedSeconds() const;

    DesktopService& m_desktop;
    int m_queueSize = 0;       // jobs waiting when the run started
    int m_started = 0;         // jobs of this run started so far
    double m_sourceLength = 0; // of the running job's source, in seconds; 0 while unknown
    int m_publishedPercent = -1;
    int m_publishedJobsLeft = -1;
    QElapsedTimer m_jobClock;
    qint64 m_pausedMs = 0;      // of the running job, finished pauses
    qint64 m_pauseStartMs = -1; // on the job clock, while paused
    RemainingTime m_remaining;
    QString m_progressText;
    QString m_remainingText;
};

} // namespace tovilo
