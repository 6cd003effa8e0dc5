#pragma once

#include "protocol/MediaIdentity.h"

#include <string>
#include <string_view>
#include <vector>

// What the wrapper learns about a source from one ffprobe run before converting it: the picture
// ffmpeg will take (its display shape, colour and scanning), and which streams belong together.
namespace tovilo {

struct VideoSource
{
    int index = -1; // stream index in the source
    int width = 0;  // as decoded, before rotation
    int height = 0;
    int sarNum = 1; // sample aspect ratio; 1:1 when the source does not say
    int sarDen = 1;
    int rotation = 0; // degrees from the display matrix, 0, 90, 180 or 270
    // The display matrix turns by another angle (45°, say): ffmpeg would turn the picture
    // inside its own frame, so the wrapper turns it by rotation itself.
    bool oddRotation = false;
    std::string pixelFormat;
    std::string transfer;  // colour transfer as ffprobe names it ("smpte2084", "arib-std-b67")
    std::string primaries; // "bt2020", "bt709" or empty when unknown
    std::string matrix;    // "bt2020nc", "bt709" or empty when unknown
    bool interlaced = false;
    double startTime = -1;      // of the stream, -1 when unknown
    double firstFrameTime = -1; // of the first frame that decoded within the probe, -1 for none

    // The picture's shape as it is meant to be seen, rotation and sample aspect applied.
    double displayWidth() const;
    double displayHeight() const;
};

// A sound or subtitle stream, with what tells its language and role.
struct Track
{
    int index = -1;    // stream index in the source
    int id = -1;       // the container's stream id (MPEG: 0x80 AC-3, 0x20 subpicture), -1 if none
    std::string codec; // as ffprobe names it ("aac", "subrip", "dvd_subtitle")
    std::string language; // the tag as written ("jpn", "ja", "eng"), empty when untagged
    std::string title;
    bool isDefault = false;
    bool forced = false;
};

struct SourceInfo
{
    bool known = false; // the probe ran and could read the source
    bool hasVideo = false;
    bool hasAudio = false;
    VideoSource video; // the picture that will be converted, when hasVideo
    // Streams to take explicitly when the source holds several programmes (TV recordings), so
    // that picture and sound come from the same one; -1 leaves the choice to ffmpeg.
    int mapVideo = -1;
    int mapAudio = -1;
    // Where to start converting, in seconds from the source's start, when the picture's first
    // frames cannot be decoded (a recording that begins mid-GOP); 0 for the beginning.
    double skipTo = 0;
    double startTime = -1; // of the whole source; -1 when unknown
    // The sound tracks of the converted programme and every subtitle track, in stream order.
    std::vector<Track> audioTracks;
    std::vector<Track> subtitleTracks;
    // The source's own tags (keys in lower case) and chapters, in its own times.
    MediaTags tags;
    std::vector<MediaChapter> chapters;
};

// The ffprobe arguments (without the program name) that SourceInfo is read from.
std::vector<std::string> probeArguments(const std::string& input);

// Reads ffprobe's "flat" output from probeArguments. Text it cannot read leaves the source
// unknown.
SourceInfo parseProbe(std::string_view text);

struct WrapperRequest;
class Watch;

// The source as the ffprobe that comes with the ffmpeg found sees it. Without one, or for a
// source it cannot read, the source stays unknown: the conversion goes on with ffmpeg's own
// choices and ffmpeg reports what is wrong. hung: the probe was killed but never ended (a read
// from a hung mount).
SourceInfo probeSource(const std::string& ffmpeg, const WrapperRequest& request, Watch& watch,
                       bool* hung = nullptr);

} // namespace tovilo
