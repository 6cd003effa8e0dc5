#pragma once

#include "encoder/plan/SourceProbe.h"

#include <string>
#include <vector>

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

// Subtitles to draw into the picture.
struct BurnIn
{
    enum class Kind
    {
        None,
        Text,   // by libass, from file (a track of it, or the whole file)
        Picture // the source's bitmap track pictureStream, laid over the picture
    };
    Kind kind = Kind::None;
    std::string file;       // what libass reads; a name without characters a filter must escape
    int textTrack = -1;     // its position among the file's subtitle tracks; -1 for the first
    bool ownStyles = false; // ASS/SSA: drawn as authored
    // Seconds from the picture's times (0 at the first converted frame) to the subtitles'.
    double offset = 0;
    int pictureStream = -1;
};

// The -vf chain for the source into a frame of the given size, or empty when ffmpeg's own
// scaling to the frame (which follows the chain) is all it needs. Rotation by quarter turns is
// ffmpeg's: it turns the picture before the chain. A display matrix of another angle is turned
// here, by its nearest quarter turn, with ffmpeg's own rotation off. Subtitles are drawn on the
// picture once it has its true shape and size, before the bars: never squeezed, never cut.
// Picture subtitles make it a graph with labelled inputs (MapOptions::filterGraph).
std::string pictureFilter(const SourceInfo& source, int frameWidth, int frameHeight,
                          const BurnIn& burn = {});

// The colours the converted picture is tagged with, as ffmpeg's output options: those of the
// source, or BT.709 where it was tone-mapped. A single ffmpeg run takes them from the frames;
// raw frames crossing a pipe leave them behind. Only common names are passed on.
std::vector<std::string> pictureColours(const SourceInfo& source);

// The font size, in libass's units of a 288-line picture, that is readable on a picture of
// the given height: at least 16 pixels, more on large pictures.
int subtitleFontSize(int pictureHeight);

} // namespace tovilo
