#include "engine/EncoderOutput.h"

#include "engine/UserTexts.h"

#include <QList>

#include <algorithm>
#include <climits>
#include <cmath>

namespace tovilo {

QString progressTextAt(double seconds)
{
    // Halves go to the even neighbour.
    return convertedUpToText(static_cast<int>(std::nearbyint(seconds)));
}

QString progressText(const QByteArray& line)
{
    const std::optional<double> value = progressSeconds(line);
    return value ? progressTextAt(*value) : QString();
}

std::optional<double> progressSeconds(const QByteArray& line)
{
    // The line must carry "time=" in some letter case, but only the lower-case one is read.
    const qsizetype at = line.indexOf("time=");
    if (at < 0)
        return std::nullopt;
    QByteArray kept = line.mid(at + 5);
    const qsizetype bitrate = kept.indexOf("bitrate");
    kept = bitrate < 0 ? QByteArray() : kept.left(bitrate);
    // The encoder always writes "." as the decimal point, whatever the user's locale.
    const QByteArray number = kept.trimmed();
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (number.isEmpty() || !ok || !std::isfinite(value) || std::fabs(value) > INT_MAX)
        return std::nullopt;
    return value;
}

std::optional<double> durationSeconds(const QByteArray& line)
{
    // "  Duration: 00:01:23.45, start: 0.000000, bitrate: 1205 kb/s"; "N/A" when unknown. Only
    // the line that starts so: a title tag or a file name may say "Duration:" too.
    const QByteArray key = "Duration:";
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith(key))
        return std::nullopt;
    QByteArray text = trimmed.mid(key.size());
    text = text.left(text.indexOf(',')).trimmed();
    const QList<QByteArray> parts = text.split(':');
    if (parts.size() != 3)
        return std::nullopt;
    bool hoursOk = false;
    bool minutesOk = false;
    bool secondsOk = false;
    const int hours = parts[0].toInt(&hoursOk);
    const int minutes = parts[1].toInt(&minutesOk);
    const double seconds = parts[2].toDouble(&secondsOk);
    if (!hoursOk || !minutesOk || !secondsOk || hours < 0 || minutes < 0 || minutes > 59 ||
        !(seconds >= 0 && seconds < 60))
        return std::nullopt;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

std::optional<double> RemainingTime::update(double position, double length, double worked)
{
    if (length <= 0 || position < m_lastPosition || worked < m_lastWorked)
        reset();
    // Speeds measured over less than a second are mostly the jitter of the progress lines.
    const double span = worked - m_lastWorked;
    if (span >= 1.0) {
        const double speed = (position - m_lastPosition) / span;
        m_speed = m_speed < 0 ? speed : m_speed + 0.2 * (speed - m_speed);
        m_lastPosition = position;
        m_lastWorked = worked;
    }
    if (length <= 0 || m_speed <= 0 || worked < 3.0)
        return std::nullopt;
    return std::max(length - position, 0.0) / m_speed;
}

} // namespace tovilo
