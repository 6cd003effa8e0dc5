#include "devices/MediaProbe.h"

#include "platform/Process.h"
#include "protocol/ProbeOutput.h"

#include <QList>

#include <cmath>
#include <limits>

namespace tovilo {

QByteArray mediaFileArgument(const QByteArray& path)
{
    return path.startsWith('/') ? path : "./" + path;
}

MediaFacts probeMedia(const QByteArray& path)
{
    MediaFacts facts;
    QList<QByteArray> command{"ffprobe"};
    for (const std::string& argument : mediaSummaryArguments(mediaFileArgument(path).toStdString()))
        command.append(QByteArray::fromStdString(argument));
    const CommandResult probe = runCommand(command, MediaProbeTimeoutMs);
    if (probe.startError != 0 || probe.timedOut || probe.exitCode != 0)
        return facts;
    const MediaSummary summary =
        readMediaSummary(std::string_view(probe.output.constData(), size_t(probe.output.size())));
    facts.known = summary.known;
    facts.hasVideo = summary.hasMovingPicture;
    facts.tags = summary.tags;
    facts.chapters = summary.chapters;
    const double seconds = summary.durationSeconds;
    if (std::isfinite(seconds) && seconds > 0 && seconds * 1000 <= std::numeric_limits<int>::max())
        facts.durationMs = static_cast<int>(std::lround(seconds * 1000));
    const double bitrate = summary.bitsPerSecond;
    if (std::isfinite(bitrate) && bitrate > 0 && bitrate / 1000 <= std::numeric_limits<int>::max())
        facts.bitrateKbps = static_cast<int>(std::lround(bitrate / 1000));
    return facts;
}

} // namespace tovilo
