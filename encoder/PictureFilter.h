#pragma once

#include "SourceProbe.h"

#include <string>

// The video filters that put a source's picture into the output frame: upright, in its true
// shape, between black bars where the shapes differ, as 8-bit BT.709 4:2:0.
namespace tovilo {

// Where the picture goes in the frame; even sizes and offsets, as 4:2:0 needs them.
struct Placement
{
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;

    bool operator==(const Placement&) const = default;
};

// Shapes that differ by at most this much fill the frame instead of leaving thin bars.
constexpr double kFillTolerance = 0.05;

// The picture of displayWidth:displayHeight fitted into the frame, centred.
Placement placePicture(double displayWidth, double displayHeight, int frameWidth, int frameHeight);

// The -vf chain for the source into a frame of the given size, or empty when ffmpeg's own
// scaling to the frame (which follows the chain) is all it needs. Rotation by quarter turns is
// ffmpeg's: it turns the picture before the chain. A display matrix of another angle is turned
// here, by its nearest quarter turn, with ffmpeg's own rotation off.
std::string pictureFilter(const SourceInfo& source, int frameWidth, int frameHeight);

} // namespace tovilo
