#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What the engine reads from the encoder's output lines, and the progress text it makes of it.
namespace tovilo {

// "HH時間MM分SS秒", each number with at least two digits.
QString formatDuration(int seconds);
// The progress text for a position in seconds, rounded half to even.
QString progressTextAt(double seconds);
// The progress text of one encoder line, or a null string when the line carries none.
QString progressText(const QByteArray& line);
// The position in seconds of a progress line ("time=83.45 bitrate="), or nothing.
std::optional<double> progressSeconds(const QByteArray& line);
// The source's length in seconds from the encoder's "Duration: HH:MM:SS.xx" line, or nothing.
std::optional<double> durationSeconds(const QByteArray& line);

} // namespace tovilo
