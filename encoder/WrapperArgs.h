#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// Translation of the program's older encoder dialect into arguments for a current ffmpeg.
namespace tovilo {

// A command line the wrapper refuses; the message says which argument and why.
class ArgumentError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What a command line asks for, as far as the wrapper needs it around the ffmpeg run.
struct Request
{
    std::string input;  // as given, relative to the working folder or absolute
    std::string output; // as given
    bool audioOnly = false;
    bool overwrite = false; // -y given
    int frameWidth = 0;     // from -s; 0 for audio
    int frameHeight = 0;
};

// Choices the wrapper makes from the source and the output, beyond what the command line says.
struct MapOptions
{
    bool overwrite = false;  // replace the output even without -y (the reserved empty file)
    std::string videoFilter; // the -vf chain that runs before the scaling to -s, if any
    std::vector<std::string> streams; // -map specifiers; empty for ffmpeg's own choice
    std::string start;                // -ss of the input, empty for its beginning
    bool noAutoRotate = false;        // the video filter turns the picture itself
};

// Takes the arguments after the program name, as the program emits them, and returns the
// arguments for ffmpeg (without the program name). Anything the program does not emit is
// refused with ArgumentError.
std::vector<std::string> mapArguments(const std::vector<std::string>& args,
                                      const MapOptions& options = {});

// The same checks as mapArguments; returns what the command line asks for.
Request describeRequest(const std::vector<std::string>& args);

// The demuxer ffmpeg must be told to use for a source, or empty to let it probe. DVD-VR
// recordings (.VRO) are MPEG program streams that probing may not recognise.
std::string inputFormatFor(const std::string& input);

// "file:" keeps ffmpeg from reading a leading '-' as an option or a name such as "pipe:1" or
// "concat:a|b" as a protocol.
std::string fileUrl(const std::string& path);

} // namespace tovilo
