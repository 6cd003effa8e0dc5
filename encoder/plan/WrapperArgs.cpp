#include "encoder/plan/WrapperArgs.h"

#include "encoder/plan/Mpeg4Settings.h"
#include "encoder/plan/X264Settings.h"

namespace tovilo {

std::string fileUrl(const std::string& path)
{
    return "file:" + path;
}

std::string inputFormatFor(const std::string& input)
{
    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string extension = input.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return extension == "VRO" ? "mpeg" : std::string();
}

std::vector<std::string> mapArguments(const WrapperRequest& request, const MapOptions& options)
{
    std::vector<std::string> out = {"-hide_banner", "-nostdin"};
    if (request.overwrite || options.overwrite)
        out.push_back("-y");
    if (options.noAutoRotate)
        out.push_back("-noautorotate");
    const std::string inputFormat = inputFormatFor(request.source);
    if (!inputFormat.empty())
        out.insert(out.end(), {"-f", inputFormat});
    if (!options.start.empty())
        out.insert(out.end(), {"-ss", options.start});
    out.insert(out.end(), {"-i", fileUrl(request.source)});
    if (options.replaceChapters && !options.chaptersFile.empty())
        out.insert(out.end(), {"-f", "ffmetadata", "-i", fileUrl(options.chaptersFile)});
    const size_t mapsAt = out.size(); // the picture of a graph goes first, as -map 0:v would
    for (const std::string& stream : options.streams)
        out.insert(out.end(), {"-map", stream});

    if (request.audioOnly) {
        out.insert(out.end(),
                   {"-vn", "-sn", "-c:a", "libmp3lame", "-b:a", std::to_string(Mp3Kbit) + "k",
                    "-ar", std::to_string(Mp3SampleRate), "-f", "mp3"});
        out.push_back(fileUrl(request.output));
        return out;
    }
    const QualityRow& row = QualityRows[static_cast<std::size_t>(request.quality)];
    const FrameSize frame = frameSizeOf(request.quality, request.wide);
    const std::string rate = std::to_string(row.frameRate);
    const std::string flags(CodecFlags);
    // -vlevel is dropped: ffmpeg ORs -level into the MPEG-4 profile byte, and 30 turns
    // Simple Profile into Simple Scalable Profile, which an iPod cannot play.
    // The frame rate is set by a filter: -r alone repeats the first frames when it halves
    // the rate, so the picture runs a frame or two behind the sound for the whole file.
    // Moved a quarter frame on, source times rounded to the millisecond (Matroska) stay
    // clear of the points where fps rounds to the other frame.
    const std::string frameRate = "setpts=PTS+0.25/(" + rate + "*TB),fps=" + rate;
    const std::string chain =
        options.videoFilter.empty() ? frameRate : options.videoFilter + "," + frameRate;
    if (options.filterGraph)
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(mapsAt),
                   {"-filter_complex", chain + "[picture]", "-map", "[picture]"});
    else
        out.insert(out.end(), {"-vf", chain});
    const bool h264 = request.codec == VideoCodec::H264;
    std::vector<std::string> codec;
    if (h264) {
        codec = h264VideoArguments(h264EncodeFor(frame.width, frame.height, row));
        codec.insert(codec.end(), {"-flags", flags});
    } else {
        codec = mpeg4VideoArguments(mpeg4EncodeFor(frame.width, frame.height, row.frameRate,
                                                   row.videoKbit, options.sourcePixels),
                                    flags);
    }
    out.insert(out.end(), codec.begin(), codec.end());
    if (options.replaceChapters)
        out.insert(out.end(), {"-map_chapters", options.chaptersFile.empty() ? "-1" : "1"});
    for (const auto& [key, value] : options.tags)
        out.insert(out.end(), {"-metadata", key + '=' + value});
    out.insert(out.end(),
               {"-s", frameSizeText(frame), "-aspect", request.wide ? "16:9" : "4:3", "-r", rate,
                // Noise substitution makes several iPods' decoders click and squeak.
                "-c:a", "aac", "-aac_pns", "0", "-b:a", std::to_string(row.audioKbit) + "k", "-ac",
                std::to_string(AudioChannels), "-ar", std::to_string(row.sampleRate),
                // What ffmpeg 5.1 itself turns the deprecated -async into; later versions
                // dropped the option.
                "-af",
                "aresample=async=" + std::to_string(AudioSyncSamples) +
                    ":min_hard_comp=0.100000:first_pts=0",
                // The ipod variant writes the atom the iPods look for before playing H.264.
                "-sn", "-f", h264 ? "ipod" : "mp4", fileUrl(request.output)});
    return out;
}

std::vector<std::string> sampleArguments(std::vector<std::string> args, double seconds)
{
    // Every conversion ends "-f <format> <output>".
    if (args.size() < 3)
        return args;
    // Whole strings moved in: GCC 12 at -O3 takes an assignment from a literal here for an
    // overlapping copy (-Wrestrict).
    args.back() = std::string("-");
    args.end()[-2] = std::string("null");
    args.insert(args.end() - 3, {"-t", std::to_string(seconds)});
    return args;
}

std::vector<std::string> mapArguments(const std::vector<std::string>& args,
                                      const MapOptions& options)
{
    return mapArguments(parseWrapperArguments(args), options);
}

} // namespace tovilo
