#include "encoder/plan/X264Settings.h"

#include <algorithm>

namespace tovilo {

namespace {

// Level 1.3 is what the 320-wide iPods promise to decode: 768 kbit/s, a 2000 kbit buffer and a
// picture buffer of 2376 macroblocks. The 640-wide iPods decode level 3.0, but only the
// low-complexity part of it: 1.5 Mbit/s and a single reference frame.
constexpr int kSmallMaxKbit = 768;
constexpr int kSmallDpbMacroblocks = 2376;
constexpr int kLargeMaxKbit = 1500;
constexpr int kBufferKbit = 2000;
// The level allows seven at 320x240, but past four each one costs more time than it gains.
constexpr int kSmallRefs = 4;
// As in MPEG-4, seeking on the iPod stays quick; x264's default of 250 frames is 17 s at 15 fps.
constexpr int kKeySeconds = 10;

int macroblocks(int pixels)
{
    return (pixels + 15) / 16;
}

} // namespace

int maxReferenceFrames(int dpbMacroblocks, int width, int height)
{
    const int picture = macroblocks(width) * macroblocks(height);
    return picture > 0 ? std::clamp(dpbMacroblocks / picture, 1, 16) : 1;
}

H264Encode h264EncodeFor(int width, int height, const QualityRow& row)
{
    const int requestedKbit = row.videoKbit;
    H264Encode encode;
    const bool large = width > 320 || height > 240;
    encode.level = large ? "3.0" : "1.3";
    encode.maxRateKbit = std::min(requestedKbit, large ? kLargeMaxKbit : kSmallMaxKbit);
    encode.bufferKbit = kBufferKbit;
    encode.refs =
        large ? 1 : std::min(kSmallRefs, maxReferenceFrames(kSmallDpbMacroblocks, width, height));
    encode.crf = row.h264Crf;
    encode.keyInterval = kKeySeconds * row.frameRate;
    return encode;
}

std::vector<std::string> h264VideoArguments(const H264Encode& encode)
{
    const std::string refs = std::to_string(encode.refs);
    std::vector<std::string> args = {
        "-c:v", "libx264", "-preset", "fast", "-profile:v", "baseline", "-level:v", encode.level,
        "-refs", refs, "-crf", std::to_string(encode.crf), "-g", std::to_string(encode.keyInterval),
        "-maxrate", std::to_string(encode.maxRateKbit) + "k", "-bufsize",
        std::to_string(encode.bufferKbit) + "k",
        // Baseline has no B-frames; saying so keeps a preset from ever asking for them.
        "-bf", "0", "-pix_fmt", "yuv420p"};
    return args;
}

} // namespace tovilo
