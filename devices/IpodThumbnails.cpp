#include "devices/IpodThumbnails.h"

#include "devices/MediaProbe.h"
#include "devices/ScratchFolders.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

#include <QFile>

namespace tovilo {

namespace {

// Its size is the largest any generation asks for.
constexpr int ThumbnailWidth = 320;

} // namespace

QByteArray IpodThumbnails::make(const QByteArray& video, int durationMs)
{
    if (!m_folder) {
        m_folder = makeScratchFolder();
        if (!m_folder)
            return {};
    }
    const QByteArray picture = QFile::encodeName(m_folder->path()) + "/thumbnail-" +
                               QByteArray::number(++m_count) + ".png";
    const QByteArray at = QByteArray::number(durationMs / 10 / 1000.0, 'f', 3);
    const CommandResult result =
        runCommand({"ffmpeg", "-nostdin", "-v", "error", "-ss", at, "-i", mediaFileArgument(video),
                    // the moving picture, not the cover our files carry
                    "-map", "0:V:0", "-frames:v", "1", "-vf",
                    "scale=" + QByteArray::number(ThumbnailWidth) + ":-2", "-y", picture},
                   MediaProbeTimeoutMs, CommandOutput::Discard);
    if (result.startError != 0 || result.timedOut || result.exitCode != 0)
        return {};
    const std::optional<FileFacts> facts = pathFacts(picture);
    if (!facts || facts->size == 0)
        return {};
    return picture;
}

} // namespace tovilo
