#pragma once

#include "protocol/MediaIdentity.h"

#include <QByteArray>

#include <vector>

namespace tovilo {

// A hung ffprobe or ffmpeg must not hold up the hand-over: reading the length of a finished
// file of ours, or one frame of it, takes well under a second, and the child's group is
// killed after this.
constexpr int MediaProbeTimeoutMs = 5000;

// What ffprobe tells about a file the device is given.
struct MediaFacts
{
    int durationMs = 0; // 0 when unknown
    int bitrateKbps = 0;
    bool known = false;    // ffprobe read the file
    bool hasVideo = false; // a moving picture, not just cover art
    MediaTags tags;        // the file's own, keys in lower case
    std::vector<MediaChapter> chapters;
};
MediaFacts probeMedia(const QByteArray& path);

// A name ffmpeg and ffprobe take for a file, never for an option.
QByteArray mediaFileArgument(const QByteArray& path);

} // namespace tovilo
