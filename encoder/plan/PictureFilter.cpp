#include "encoder/plan/PictureFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>

namespace tovilo {

namespace {

// Deinterlaces only the frames flagged interlaced, one frame out per frame in, so the frame
// rate stays.
constexpr const char* kDeinterlace = "yadif=mode=send_frame:parity=auto:deint=interlaced";

int even(double value)
{
    return std::max(2, 2 * static_cast<int>(std::lround(value / 2)));
}

bool isHdr(const VideoSource& video)
{
    return video.transfer == "smpte2084" || video.transfer == "arib-std-b67";
}

// zscale reads these names as ffprobe writes them; anything else is taken as BT.2020, which is
// what PQ and HLG sources are made in.
std::string primariesOf(const VideoSource& video)
{
    return video.primaries == "bt709" || video.primaries == "bt2020" ? video.primaries : "bt2020";
}

std::string matrixOf(const VideoSource& video)
{
    return video.matrix == "bt709" || video.matrix == "bt2020nc" || video.matrix == "bt2020c"
               ? video.matrix
               : "bt2020nc";
}

// To linear light (100 cd/m² as 1.0), tone-mapped in floating point, back to BT.709. It runs
// after the scaling, on the small picture.
std::string toneMap(const VideoSource& video)
{
    const std::string primaries = primariesOf(video);
    return "zscale=tin=" + video.transfer + ":pin=" + primaries + ":min=" + matrixOf(video) +
           ":t=linear:p=" + primaries +
           ":npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=hable:desat=0,"
           "zscale=t=bt709:m=bt709:r=tv";
}

bool isOneOf(const std::string& value, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return value == name; });
}

} // namespace

std::vector<std::string> pictureColours(const SourceInfo& source)
{
    if (!source.hasVideo)
        return {};
    const VideoSource& video = source.video;
    if (isHdr(video))
        return {"-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709"};
    std::vector<std::string> args;
    if (isOneOf(video.primaries,
                {"bt709", "bt470m", "bt470bg", "smpte170m", "smpte240m", "bt2020"}))
        args.insert(args.end(), {"-color_primaries", video.primaries});
    if (isOneOf(video.transfer, {"bt709", "gamma22", "gamma28", "smpte170m", "smpte240m"}))
        args.insert(args.end(), {"-color_trc", video.transfer});
    if (isOneOf(video.matrix, {"bt709", "fcc", "bt470bg", "smpte170m", "smpte240m", "bt2020nc"}))
        args.insert(args.end(), {"-colorspace", video.matrix});
    return args;
}

Placement placePicture(double displayWidth, double displayHeight, int frameWidth, int frameHeight)
{
    Placement place{frameWidth, frameHeight, 0, 0};
    if (displayWidth <= 0 || displayHeight <= 0 || frameWidth <= 0 || frameHeight <= 0)
        return place;
    const double picture = displayWidth / displayHeight;
    const double frame = static_cast<double>(frameWidth) / frameHeight;
    // A hair over for shapes given as fractions that land exactly on the limit.
    if (std::max(picture, frame) / std::min(picture, frame) <= 1 + kFillTolerance + 1e-9)
        return place;
    if (picture > frame)
        place.height = std::min(frameHeight, even(frameWidth / picture));
    else
        place.width = std::min(frameWidth, even(frameHeight * picture));
    place.x = (frameWidth - place.width) / 4 * 2;
    place.y = (frameHeight - place.height) / 4 * 2;
    return place;
}

int subtitleFontSize(int pictureHeight)
{
    if (pictureHeight <= 0)
        return 16;
    const double pixels = std::max(16.0, pictureHeight / 18.0);
    return static_cast<int>(std::lround(pixels * 288 / pictureHeight));
}

namespace {

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string textSubtitles(const BurnIn& burn, int pictureHeight)
{
    std::string filter = "subtitles=f=" + burn.file;
    if (burn.textTrack >= 0)
        filter += ":si=" + std::to_string(burn.textTrack);
    // Plain text gets the Japanese font and a size readable on the iPod; quoted so that the
    // graph keeps the comma.
    if (!burn.ownStyles)
        filter += ":force_style='FontName=IPAPGothic,FontSize=" +
                  std::to_string(subtitleFontSize(pictureHeight)) + "'";
    if (burn.offset == 0)
        return filter;
    return "setpts=PTS+" + seconds(burn.offset) + "/TB," + filter + ",setpts=PTS-" +
           seconds(burn.offset) + "/TB";
}

} // namespace

std::string pictureFilter(const SourceInfo& source, int frameWidth, int frameHeight,
                          const BurnIn& burn)
{
    if (!source.hasVideo)
        return {};
    const VideoSource& video = source.video;
    const Placement place =
        placePicture(video.displayWidth(), video.displayHeight(), frameWidth, frameHeight);
    const bool bars = place.width != frameWidth || place.height != frameHeight;
    const bool hdr = isHdr(video);
    const bool otherFormat = video.pixelFormat != "yuv420p" && !video.pixelFormat.empty();

    const bool burning = burn.kind != BurnIn::Kind::None;
    const std::string size = std::to_string(place.width) + ":" + std::to_string(place.height);

    std::vector<std::string> filters;
    if (video.interlaced)
        filters.push_back(kDeinterlace);
    // The display matrix turns counter-clockwise, as ffmpeg's own rotation reads it.
    if (video.oddRotation && video.rotation == 90)
        filters.push_back("transpose=cclock");
    else if (video.oddRotation && video.rotation == 180)
        filters.push_back("hflip,vflip");
    else if (video.oddRotation && video.rotation == 270)
        filters.push_back("transpose=clock");
    if (bars || hdr || burning)
        filters.push_back("scale=" + size);
    if (hdr)
        filters.push_back(toneMap(video));
    if (hdr || otherFormat)
        filters.push_back("format=yuv420p");
    if (burning && !bars)
        filters.push_back("setsar=1");
    if (burn.kind == BurnIn::Kind::Text)
        filters.push_back(textSubtitles(burn, place.height));
    if (burn.kind == BurnIn::Kind::Picture) {
        // The bitmaps cover the same area as the picture they came with.
        filters.insert(filters.begin(), "[0:" + std::to_string(video.index) + "]null");
        filters.push_back("[picture];[0:" + std::to_string(burn.pictureStream) + "]scale=" + size +
                          "[subtitles];[picture][subtitles]overlay=eof_action=pass");
    }
    if (bars)
        filters.push_back("setsar=1,pad=" + std::to_string(frameWidth) + ":" +
                          std::to_string(frameHeight) + ":" + std::to_string(place.x) + ":" +
                          std::to_string(place.y) + ":black");
    std::string chain;
    for (const std::string& filter : filters) {
        if (!chain.empty() && filter[0] != '[')
            chain += ',';
        chain += filter;
    }
    return chain;
}

} // namespace tovilo
