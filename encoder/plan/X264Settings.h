#pragma once

#include "protocol/QualityTable.h"

#include <string>
#include <vector>

// The H.264 encode for one quality row, within what every iPod that plays H.264 accepts.
namespace tovilo {

struct H264Encode
{
    std::string level;   // "1.3" or "3.0"
    int maxRateKbit = 0; // the rate the buffer drains at, and so the cap on any stretch
    int bufferKbit = 0;
    int refs = 1;
    int crf = 0;         // constant quality wherever the cap leaves room for it
    int keyInterval = 0; // frames between key frames at most
};

// The encode for a frame size and the quality row the command line asks for.
H264Encode h264EncodeFor(int width, int height, const QualityRow& row);

// The ffmpeg video codec arguments for an encode: Constrained Baseline, no B-frames.
std::vector<std::string> h264VideoArguments(const H264Encode& encode);

// The reference frames a picture of this size may keep at a level: its decoded picture
// buffer's size in macroblocks over the picture's, at most 16.
int maxReferenceFrames(int dpbMacroblocks, int width, int height);

} // namespace tovilo
