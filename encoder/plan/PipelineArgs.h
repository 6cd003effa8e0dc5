#pragma once

#include <string>
#include <vector>

// A video conversion as two ffmpeg runs side by side, joined by a pipe of raw frames, so that
// decoding and filtering go on while the previous frames are encoded. ffmpeg 5.1 does all of it
// on one thread otherwise, codecs' own threads aside.
namespace tovilo {

struct PipelineArguments
{
    // Reads the source and writes the finished picture (frame size and rate, 4:2:0) and the
    // sound (resampled, as 32-bit float) as NUT to its standard output.
    std::vector<std::string> decode;
    // Reads that from its standard input, encodes both and writes the output file.
    std::vector<std::string> encode;
};

// The two runs for the arguments of a one-run video conversion (mapArguments' form: input
// options, "-i", maps and filters, then the video codec's options from "-c:v" on and the output
// last). The frame size, the sound's rate, channels and filter move to the decoding side;
// everything else from "-c:v" on is the encoding side's. Empty for arguments without "-c:v"
// (sound only). encodeOptions are the encoding side's besides those: what the frames would have
// told it in one run (pictureColours).
PipelineArguments pipelineArguments(const std::vector<std::string>& oneRun,
                                    const std::vector<std::string>& encodeOptions = {});

} // namespace tovilo
