#include "encoder/plan/Mpeg4Settings.h"

namespace tovilo {

namespace {

// A key frame every ten seconds keeps seeking on the iPod quick; ffmpeg's default of twelve
// frames spends a third of the rate on key frames and makes the rate control overshoot.
constexpr int kKeySeconds = 10;
// The iPods play MPEG-4 up to 2.5 Mbit/s; Simple Profile level 3 gives the decoder a buffer of
// 40 x 16384 bits.
constexpr int kPeakKbit = 2500;
constexpr int kBufferBits = 40 * 16384;
// The default tolerance of 4000 kbit lets a short or hard clip end several percent above its
// rate; a quarter of the rate keeps it within one or two.
constexpr int kToleranceShare = 4;
// Two slices cost next to nothing in quality and let the second core encode too; more would
// cut the 320-wide frame into strips too thin to predict well.
constexpr int kEncoderThreads = 2;
// Trellis quantisation gives 0.001-0.003 more SSIM on detail and dark scenes at the 320-wide
// rows, none on grain or where the rate is not reached, for two to four times the encoder's time
// (six on easy scenes, where the quantiser is low). It is spent where the encoder would
// otherwise wait for the picture: behind the decoding of a source larger than a DVD's, which
// takes longer, and at 15 fps, with half the frames to encode. At 640x480 it takes four to six
// times as long.
constexpr int kThoroughPixels = 320 * 240;
constexpr int kDvdPixels = 720 * 576;
constexpr int kThoroughFrameRate = 15;

} // namespace

Mpeg4Encode mpeg4EncodeFor(int width, int height, int frameRate, int requestedKbit,
                           int sourcePixels)
{
    Mpeg4Encode encode;
    encode.thorough = width * height <= kThoroughPixels &&
                      (frameRate <= kThoroughFrameRate || sourcePixels > kDvdPixels);
    encode.kbit = requestedKbit;
    encode.toleranceKbit = requestedKbit / kToleranceShare;
    encode.keyInterval = kKeySeconds * frameRate;
    return encode;
}

std::vector<std::string> mpeg4VideoArguments(const Mpeg4Encode& encode, const std::string& flags)
{
    std::vector<std::string> args = {
        "-c:v", "mpeg4",
        // Four motion vectors per macroblock and AC prediction are Simple Profile's own
        // tools; quarter-pel, global motion and B-frames are not and stay off.
        "-flags", "+" + flags + "+mv4+aic", "-b:v", std::to_string(encode.kbit) + "k", "-bt",
        std::to_string(encode.toleranceKbit) + "k", "-maxrate", std::to_string(kPeakKbit) + "k",
        "-bufsize", std::to_string(kBufferBits),
        // With rate-distortion decisions the encoder also tests every frame for a scene
        // change and starts a new key frame there.
        "-g", std::to_string(encode.keyInterval), "-mbd", "rd", "-threads",
        std::to_string(kEncoderThreads)};
    if (encode.thorough)
        args.insert(args.end(), {"-trellis", "1"});
    return args;
}

} // namespace tovilo
