#include "devices/MediaProbe.h"

#include "platform/Process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
    const CommandResult probe =
        runCommand({"ffprobe", "-v", "error", "-show_entries",
                    "format=duration,bit_rate:stream=codec_type:stream_disposition=attached_pic",
                    "-of", "json", mediaFileArgument(path)},
                   MediaProbeTimeoutMs);
    if (probe.startError != 0 || probe.timedOut || probe.exitCode != 0)
        return facts;
    const QJsonObject root = QJsonDocument::fromJson(probe.output).object();
    if (root.isEmpty())
        return facts;
    facts.known = true;
    const QJsonObject format = root.value(QLatin1String("format")).toObject();
    bool ok = false;
    const double seconds = format.value(QLatin1String("duration")).toString().toDouble(&ok);
    if (ok && std::isfinite(seconds) && seconds > 0 &&
        seconds * 1000 <= std::numeric_limits<int>::max())
        facts.durationMs = static_cast<int>(std::lround(seconds * 1000));
    const double bitrate = format.value(QLatin1String("bit_rate")).toString().toDouble(&ok);
    if (ok && std::isfinite(bitrate) && bitrate > 0 &&
        bitrate / 1000 <= std::numeric_limits<int>::max())
        facts.bitrateKbps = static_cast<int>(std::lround(bitrate / 1000));
    for (const QJsonValue& stream : root.value(QLatin1String("streams")).toArray()) {
        const QJsonObject fields = stream.toObject();
        // Cover art is stored as a one-picture video stream.
        if (fields.value(QLatin1String("codec_type")).toString() == QLatin1String("video") &&
            fields.value(QLatin1String("disposition"))
                    .toObject()
                    .value(QLatin1String("attached_pic"))
                    .toInt() == 0)
            facts.hasVideo = true;
    }
    return facts;
}

} // namespace tovilo
