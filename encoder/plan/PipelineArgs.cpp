#include "encoder/plan/PipelineArgs.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tovilo {

namespace {

// Options after "-c:v" that take no value.
constexpr std::array<std::string_view, 4> kFlags = {"-sn", "-an", "-vn", "-dn"};
// Output options that shape the frames and the samples: the decoding side applies them, so that
// what crosses the pipe is already at its final size and rate. The chapters come from the
// decoding side's inputs too, and the pipe carries them on to the file.
constexpr std::array<std::string_view, 4> kShaping = {"-s", "-ar", "-af", "-map_chapters"};
// For both sides: NUT keeps the number of channels but not their layout, which the encoding
// side is told again rather than left to guess.
constexpr std::array<std::string_view, 5> kBoth = {"-sn", "-an", "-vn", "-dn", "-ac"};

bool isOneOf(std::string_view option, const auto& list)
{
    return std::find(list.begin(), list.end(), option) != list.end();
}

} // namespace

PipelineArguments pipelineArguments(const std::vector<std::string>& oneRun,
                                    const std::vector<std::string>& encodeOptions)
{
    const auto codec = std::find(oneRun.begin(), oneRun.end(), "-c:v");
    if (codec == oneRun.end() || oneRun.size() < 3)
        return {};
    PipelineArguments runs;
    runs.decode.assign(oneRun.begin(), codec);
    // Its progress would only mislead: the encoding side's is the conversion's.
    runs.decode.insert(runs.decode.begin(), "-nostats");
    // The source and its length are told by the decoding side; this one's own account of the
    // pipe would only repeat it with the length unknown.
    runs.encode = {"-hide_banner", "-nostdin", "-v", "warning", "-stats"};
    if (std::find(oneRun.begin(), codec, "-y") != codec)
        runs.encode.push_back("-y");
    runs.encode.insert(runs.encode.end(), {"-guess_layout_max", "0", "-f", "nut", "-i", "pipe:0"});

    const auto output = oneRun.end() - 1;
    for (auto at = codec; at != output; ++at) {
        std::vector<std::string> option = {*at};
        if (!isOneOf(*at, kFlags) && at + 1 != output)
            option.push_back(*++at);
        if (!isOneOf(option.front(), kShaping))
            runs.encode.insert(runs.encode.end(), option.begin(), option.end());
        if (isOneOf(option.front(), kShaping) || isOneOf(option.front(), kBoth))
            runs.decode.insert(runs.decode.end(), option.begin(), option.end());
    }
    // Lanczos keeps detail that bicubic softens, for a few percent more of the decoding side's
    // time. Raw frames cost nothing to write or read; float samples lose nothing on the way.
    runs.decode.insert(runs.decode.end(), {"-sws_flags", "lanczos", "-pix_fmt", "yuv420p", "-c:v",
                                           "rawvideo", "-c:a", "pcm_f32le", "-f", "nut", "pipe:1"});
    runs.encode.insert(runs.encode.end(), encodeOptions.begin(), encodeOptions.end());
    runs.encode.push_back(*output);
    return runs;
}

} // namespace tovilo
