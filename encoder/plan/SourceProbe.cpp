#include "encoder/plan/SourceProbe.h"

#include "encoder/plan/WrapperArgs.h"
#include "encoder/run/WatchedRun.h"
#include "oscore/FileInfo.h"
#include "protocol/ProbeOutput.h"
#include "protocol/WrapperCommand.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>

namespace tovilo {

namespace {

// Packets read for the frame flags. A broadcast GOP with its sound fits well within them; a
// source whose first this-many packets decode to no picture at all is converted from its start.
// Only key frames are decoded: they carry the flags too, and the first that decodes is where a
// recording that begins mid-GOP can start. That keeps the probe as cheap as ffprobe's start-up.
constexpr const char* kProbeInterval = "%+#150";
// A first picture this much later than its stream's start means undecodable frames before it.
constexpr double kBrokenStartSeconds = 0.1;

struct Stream : ProbeStream
{
    VideoSource video;
    Track track;
};

// "0x80" as ffprobe writes MPEG stream ids.
int streamId(const std::string& text)
{
    if (text.size() < 3 || text.compare(0, 2, "0x") != 0)
        return -1;
    int value = -1;
    const auto [end, error] =
        std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

void readSampleAspect(const std::string& text, VideoSource& video)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return;
    const int num = probeInt(text.substr(0, colon));
    const int den = probeInt(text.substr(colon + 1));
    if (num > 0 && den > 0) {
        video.sarNum = num;
        video.sarDen = den;
    }
}

// Rounded once to the nearest quarter turn, which the picture and its shape both take.
void readRotation(const std::string& text, VideoSource& video)
{
    const double degrees = std::strtod(text.c_str(), nullptr);
    const long turns = std::lround(degrees / 90.0);
    video.rotation = static_cast<int>(((turns % 4) + 4) % 4) * 90;
    // ffmpeg turns by quarter turns itself within a degree of them.
    video.oddRotation = std::fabs(degrees - 90.0 * static_cast<double>(turns)) >= 1.0;
}

bool isInterlacedOrder(const std::string& order)
{
    return order == "tt" || order == "bb" || order == "tb" || order == "bt";
}

// The largest picture among the candidates, the first of equals: the one ffmpeg takes itself.
int largestPicture(const std::map<int, Stream>& streams, const std::vector<int>& candidates)
{
    int best = -1;
    long bestArea = -1;
    for (int index : candidates) {
        const auto it = streams.find(index);
        if (it == streams.end() || !it->second.isMovingPicture())
            continue;
        const long area = static_cast<long>(it->second.video.width) * it->second.video.height;
        if (area > bestArea) {
            best = index;
            bestArea = area;
        }
    }
    return best;
}

} // namespace

double VideoSource::displayWidth() const
{
    const double width = static_cast<double>(this->width) * sarNum / sarDen;
    return rotation % 180 == 0 ? width : height;
}

double VideoSource::displayHeight() const
{
    const double width = static_cast<double>(this->width) * sarNum / sarDen;
    return rotation % 180 == 0 ? height : width;
}

std::vector<std::string> probeArguments(const std::string& input)
{
    std::vector<std::string> args = {"-v", "quiet"};
    const std::string format = inputFormatFor(input);
    if (!format.empty())
        args.insert(args.end(), {"-f", format});
    args.insert(args.end(),
                {"-skip_frame", "nokey", "-read_intervals", kProbeInterval, "-show_entries",
                 "format=start_time:program=program_id:program_stream=index:"
                 "stream=index,id,codec_type,codec_name,width,height,sample_aspect_ratio,pix_fmt,"
                 "field_order,color_transfer,color_primaries,color_space,start_time:"
                 "stream_tags=language,title:stream_disposition=attached_pic,default,forced:"
                 "stream_side_data=rotation:"
                 "frame=stream_index,interlaced_frame,best_effort_timestamp_time:" +
                     std::string(TagAndChapterEntries),
                 "-of", "flat", fileUrl(input)});
    return args;
}

SourceInfo parseProbe(std::string_view text)
{
    const ProbeOutput probe(text);
    SourceInfo info;
    std::map<int, Stream> streams; // by stream index
    std::map<int, Stream> listed;  // by position in the listing
    probe.forEachEntry("streams.stream.",
                       [&](int n, std::string_view field, const std::string& value) {
                           Stream& stream = listed[n];
                           VideoSource& video = stream.video;
                           Track& track = stream.track;
                           if (readStreamField(stream, field, value))
                               video.index = track.index = stream.index;
                           else if (field == "id")
                               track.id = streamId(value);
                           else if (field == "codec_name")
                               track.codec = value;
                           else if (field == "tags.language")
                               track.language = value;
                           else if (field == "tags.title")
                               track.title = value;
                           else if (field == "disposition.default")
                               track.isDefault = value == "1";
                           else if (field == "disposition.forced")
                               track.forced = value == "1";
                           else if (field == "width")
                               video.width = probeInt(value);
                           else if (field == "height")
                               video.height = probeInt(value);
                           else if (field == "sample_aspect_ratio")
                               readSampleAspect(value, video);
                           else if (field == "pix_fmt")
                               video.pixelFormat = value;
                           else if (field == "field_order")
                               video.interlaced = isInterlacedOrder(value);
                           else if (field == "color_transfer")
                               video.transfer = value;
                           else if (field == "color_primaries")
                               video.primaries = value == "unknown" ? std::string() : value;
                           else if (field == "color_space")
                               video.matrix = value == "unknown" ? std::string() : value;
                           else if (field == "start_time")
                               video.startTime = probeNumber(value);
                           else if (field.substr(0, 15) == "side_data_list." && field.size() > 9 &&
                                    field.substr(field.size() - 9) == ".rotation")
                               readRotation(value, video);
                       });
    for (auto& [n, stream] : listed) {
        if (stream.video.index >= 0)
            streams[stream.video.index] = stream;
    }
    if (streams.empty())
        return info;
    info.known = true;
    info.tags = probeTags(probe);
    info.chapters = probeChapters(probe);

    std::vector<int> all;
    for (const auto& [index, stream] : streams) {
        all.push_back(index);
        info.hasAudio = info.hasAudio || stream.type == "audio";
        if (stream.type == "subtitle")
            info.subtitleTracks.push_back(stream.track);
    }
    const std::string* formatStart = probe.find("format.start_time");
    info.startTime = formatStart ? probeNumber(*formatStart) : -1;

    std::map<int, std::vector<int>> programmes;
    probe.forEachEntry("programs.program.",
                       [&](int n, std::string_view field, const std::string& value) {
                           if (field.substr(0, 15) == "streams.stream." && field.size() > 6 &&
                               field.substr(field.size() - 6) == ".index")
                               programmes[n].push_back(probeInt(value, -1));
                       });
    for (auto& [n, members] : programmes)
        std::sort(members.begin(), members.end()); // the listing's keys sort as text
    int videoIndex = largestPicture(streams, all);
    std::vector<int> members = all;
    if (programmes.size() > 1 && videoIndex >= 0) {
        // The programme of the best picture that has sound too, and its first sound; a
        // picture whose programme is silent takes the first sound of any programme.
        const auto firstSound = [&](const std::vector<int>& candidates) {
            for (int index : candidates) {
                const auto it = streams.find(index);
                if (it != streams.end() && it->second.type == "audio")
                    return index;
            }
            return -1;
        };
        for (const bool needSound : {true, false}) {
            long bestArea = -1;
            for (const auto& [n, programme] : programmes) {
                const int candidate = largestPicture(streams, programme);
                const int sound = firstSound(programme);
                if (candidate < 0 || (needSound && sound < 0))
                    continue;
                const VideoSource& video = streams[candidate].video;
                const long area = static_cast<long>(video.width) * video.height;
                if (area > bestArea) {
                    bestArea = area;
                    info.mapVideo = candidate;
                    info.mapAudio = sound >= 0 ? sound : firstSound(all);
                }
            }
            if (info.mapVideo >= 0)
                break;
        }
        videoIndex = info.mapVideo;
        // The sound to choose from is that of the programme whose sound was taken.
        for (const auto& [n, programme] : programmes) {
            if (std::find(programme.begin(), programme.end(), info.mapAudio) != programme.end()) {
                members = programme;
                break;
            }
        }
    }
    for (int index : members) {
        const auto it = streams.find(index);
        if (it != streams.end() && it->second.type == "audio")
            info.audioTracks.push_back(it->second.track);
    }
    if (videoIndex < 0)
        return info;
    info.hasVideo = true;
    info.video = streams[videoIndex].video;

    // Frames: their fields arrive per frame; collect them, then look at those of the picture.
    std::map<int, std::map<std::string, std::string, std::less<>>> frames;
    probe.forEachEntry("frames.frame.",
                       [&](int n, std::string_view field, const std::string& value) {
                           frames[n].emplace(field, value);
                       });
    for (const auto& [n, frame] : frames) {
        const auto stream = frame.find("stream_index");
        if (stream == frame.end() || probeInt(stream->second, -1) != videoIndex)
            continue;
        const auto flag = frame.find("interlaced_frame");
        if (flag != frame.end() && flag->second == "1")
            info.video.interlaced = true;
        const auto time = frame.find("best_effort_timestamp_time");
        if (info.video.firstFrameTime < 0 && time != frame.end())
            info.video.firstFrameTime = probeNumber(time->second);
    }

    const double sourceStart = info.startTime;
    const VideoSource& video = info.video;
    if (sourceStart >= 0 && video.startTime >= 0 && video.firstFrameTime >= 0 &&
        video.firstFrameTime - video.startTime > kBrokenStartSeconds)
        info.skipTo = video.firstFrameTime - sourceStart;
    return info;
}

namespace {

// Reading the first frames takes well under a second; a source that takes longer to open (a
// hung mount, a stuck probe) is converted with ffmpeg's own choices rather than held up.
constexpr int kProbeSeconds = 5;
// Far more than the probe's listing of a source with many streams and programmes.
constexpr size_t kMaxProbeOutput = 4u << 20;

} // namespace

SourceInfo probeSource(const std::string& ffmpeg, const WrapperRequest& request, Watch& watch,
                       bool* hung)
{
    const std::string ffprobe = folderOf(ffmpeg) + "/ffprobe";
    if (::access(ffprobe.c_str(), X_OK) != 0)
        return {};
    std::string text;
    // In a group of its own: a probe stuck on the source is killed with all it started.
    WatchedRun how;
    how.timeLimit = kProbeSeconds;
    how.ownGroup = true;
    const RunResult end = runWatched(
        ffprobe, probeArguments(request.source), watch,
        [&](std::string_view piece) {
            if (text.size() < kMaxProbeOutput)
                text.append(piece);
            return true;
        },
        how);
    if (hung != nullptr)
        *hung = end.abandoned;
    if (end.startError != 0 || end.timedOut || end.stopped || end.exitCode != 0 ||
        text.size() >= kMaxProbeOutput)
        return {};
    return parseProbe(text);
}

} // namespace tovilo
