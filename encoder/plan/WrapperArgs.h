#pragma once

#include "protocol/WrapperCommand.h"

#include <string>
#include <utility>
#include <vector>

// Translation of the program's older encoder dialect into arguments for a current ffmpeg.
namespace tovilo {

// Choices the wrapper makes from the source and the output, beyond what the command line says.
struct MapOptions
{
    bool overwrite = false;  // replace the output even without -y (the reserved empty file)
    std::string videoFilter; // the -vf chain that runs before the scaling to -s, if any
    // videoFilter is a graph with its own input labels ([0:n]) rather than one chain; its
    // output is the picture, and streams then names the sound alone.
    bool filterGraph = false;
    std::vector<std::string> streams; // -map specifiers; empty for ffmpeg's own choice
    std::string start;                // -ss of the input, empty for its beginning
    bool noAutoRotate = false;        // the video filter turns the picture itself
    int sourcePixels = 0;             // of the source's picture, 0 when unknown
    // What the file is, as -metadata key=value; and an ffmetadata file whose chapters replace
    // the source's, or none to drop them (without replaceChapters the source's stay).
    std::vector<std::pair<std::string, std::string>> tags;
    bool replaceChapters = false;
    std::string chaptersFile;
};

// The arguments for ffmpeg (without the program name) for what the program asked for.
std::vector<std::string> mapArguments(const WrapperRequest& request,
                                      const MapOptions& options = {});
// The same for the arguments after the program's name, read first; ArgumentError for a line the
// program does not write.
std::vector<std::string> mapArguments(const std::vector<std::string>& args,
                                      const MapOptions& options = {});

// A conversion's arguments made into a sample of it: seconds of source from its start, converted
// as ever and written nowhere.
std::vector<std::string> sampleArguments(std::vector<std::string> args, double seconds);

// The demuxer ffmpeg must be told to use for a source, or empty to let it probe. DVD-VR
// recordings (.VRO) are MPEG program streams that probing may not recognise.
std::string inputFormatFor(const std::string& input);

// "file:" keeps ffmpeg from reading a leading '-' as an option or a name such as "pipe:1" or
// "concat:a|b" as a protocol.
std::string fileUrl(const std::string& path);

} // namespace tovilo
