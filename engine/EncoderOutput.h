#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What the engine reads from the encoder's output lines, and the progress text it makes of it.
namespace tovilo {

// The progress text for a position in seconds, rounded half to even.
QString progressTextAt(double seconds);
// The progress text of one encoder line, or a null string when the line carries none.
QString progressText(const QByteArray& line);
// The position in seconds of a progress line ("time=83.45 bitrate="), or nothing.
std::optional<double> progressSeconds(const QByteArray& line);
// The source's length in seconds from the encoder's "Duration: HH:MM:SS.xx" line, or nothing.
std::optional<double> durationSeconds(const QByteArray& line);

// How long the running file still takes, from how fast its position advances against the
// time worked on it (paused time is not worked). The speed is smoothed, so the figure does not
// jump with each progress line; nothing is estimated before a few seconds of steady progress.
class RemainingTime
{
public:
    void reset() { *this = RemainingTime(); }
    // position and length in seconds of the source, worked in seconds since the file began.
    // The seconds left, or nothing while there is no estimate.
    std::optional<double> update(double position, double length, double worked);

private:
    double m_speed = -1; // seconds of source per second worked, smoothed
    double m_lastPosition = 0;
    double m_lastWorked = 0;
};

} // namespace tovilo
