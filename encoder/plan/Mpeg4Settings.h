#pragma once

#include <string>
#include <vector>

// The MPEG-4 encode for one quality row: Simple Profile, which every iPod that plays video
// decodes, with the encoder's better decisions switched on.
namespace tovilo {

struct Mpeg4Encode
{
    int kbit = 0;          // the average rate the row asks for
    int toleranceKbit = 0; // how far the rate control may drift from it over a stretch
    int keyInterval = 0;   // frames between key frames at most
    bool thorough = false; // trellis quantisation
};

// The encode for the frame, the frame rate and the video rate the command line asks for
// (kbit/s), from a source picture of sourcePixels (0 when unknown).
Mpeg4Encode mpeg4EncodeFor(int width, int height, int frameRate, int requestedKbit,
                           int sourcePixels = 0);

// The ffmpeg video codec arguments for an encode; `flags` are the command line's codec flags.
std::vector<std::string> mpeg4VideoArguments(const Mpeg4Encode& encode, const std::string& flags);

} // namespace tovilo
