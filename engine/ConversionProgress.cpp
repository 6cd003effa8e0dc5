#include "engine/ConversionProgress.h"

#include "engine/UserTexts.h"
#include "platform/DesktopService.h"

#include <algorithm>

namespace tovilo {

void ConversionProgress::startRun(int queueSize)
{
    m_queueSize = queueSize;
    m_started = 0;
    clearTexts();
}

void ConversionProgress::startJob()
{
    ++m_started;
    m_sourceLength = 0;
    m_remaining.reset();
    m_jobClock.start();
    m_pausedMs = 0;
    m_pauseStartMs = -1;
    clearTexts();
    publish(0);
}

bool ConversionProgress::readLine(const QByteArray& line)
{
    if (m_sourceLength <= 0) {
        if (const std::optional<double> length = durationSeconds(line)) {
            m_sourceLength = *length;
            return false;
        }
    }
    const std::optional<double> seconds = progressSeconds(line);
    if (!seconds)
        return false;
    m_progressText = progressTextAt(*seconds);
    m_remainingText.clear();
    if (m_sourceLength > 0) {
        publish(*seconds / m_sourceLength);
        if (const std::optional<double> left =
                m_remaining.update(*seconds, m_sourceLength, workedSeconds()))
            m_remainingText = remainingText(*left);
    }
    return true;
}

void ConversionProgress::setPaused(bool paused)
{
    if (paused) {
        m_pauseStartMs = m_jobClock.isValid() ? m_jobClock.elapsed() : -1;
        return;
    }
    if (m_pauseStartMs >= 0)
        m_pausedMs += m_jobClock.elapsed() - m_pauseStartMs;
    m_pauseStartMs = -1;
}

QString ConversionProgress::situation(bool paused) const
{
    QString text = m_progressText;
    if (paused) {
        if (!text.isEmpty())
            text += QStringLiteral("　");
        text += pausedText();
    } else {
        text += m_remainingText;
    }
    return text;
}

void ConversionProgress::clear()
{
    clearTexts();
    m_publishedPercent = -1;
    m_publishedJobsLeft = -1;
    m_desktop.clearProgress();
}

void ConversionProgress::clearTexts()
{
    m_progressText.clear();
    m_remainingText.clear();
}

double ConversionProgress::workedSeconds() const
{
    if (!m_jobClock.isValid())
        return 0;
    const qint64 now = m_jobClock.elapsed();
    const qint64 pausing = m_pauseStartMs >= 0 ? now - m_pauseStartMs : 0;
    return static_cast<double>(now - m_pausedMs - pausing) / 1000.0;
}

void ConversionProgress::publish(double currentFraction)
{
    // The running job and those still waiting.
    const int jobsLeft = std::max(m_queueSize - m_started + 1, 0);
    const int size = std::max({m_queueSize, jobsLeft, 1});
    const double fraction =
        std::clamp((size - jobsLeft + std::clamp(currentFraction, 0.0, 1.0)) / size, 0.0, 1.0);
    // A dock redraws on every update: send only what it would show differently.
    const int percent = static_cast<int>(fraction * 100);
    if (percent == m_publishedPercent && jobsLeft == m_publishedJobsLeft)
        return;
    m_publishedPercent = percent;
    m_publishedJobsLeft = jobsLeft;
    m_desktop.showProgress(fraction, jobsLeft);
}

} // namespace tovilo
