#pragma once

#include "protocol/QualityTable.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The command line the program starts lib/ffmpeg with, in the older encoder dialect: written
// here for the program and read here by the wrapper, so the two cannot drift apart.
namespace tovilo {

enum class VideoCodec
{
    Mpeg4, // every iPod that plays video
    H264,
};

// One conversion as the program asks for it.
struct WrapperRequest
{
    std::string source; // as given, relative to the working folder or absolute
    std::string output;
    bool overwrite = true;  // -y: the program reserves the output's name before it starts us
    bool audioOnly = false; // MP3 at its own fixed rates; nothing below applies
    // The quality row. The program writes a row outside the table as a line that names no
    // output file, which the wrapper refuses.
    int quality = 0;
    bool wide = false; // 16:9 rather than 4:3
    VideoCodec codec = VideoCodec::Mpeg4;
    bool burnSubtitles = false; // Japanese subtitles into the picture

    bool operator==(const WrapperRequest&) const = default;
};

// Fixed values every video line carries.
inline constexpr std::string_view CodecFlags = "bitexact";
inline constexpr int AudioSyncSamples = 1000; // -async
inline constexpr int AudioChannels = 2;

// A command line the wrapper refuses; the message says which argument and why.
class ArgumentError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// "640x480".
std::string frameSizeText(const FrameSize& frame);
// The frame of a row and ratio. A row outside the table (a hand-edited settings file) gets the
// small frame of the lower rows.
FrameSize frameSizeOf(int quality, bool wide);
// "-s WxH " as the line carries it.
std::string frameSizeArgument(int quality, bool wide);

// Quotes one argument so that the program's command-line split gives it back unchanged: an
// argument without '"' and without a trailing backslash simply stands between double quotes.
std::string quotedArgument(std::string_view argument);

// The argument string after the program's name; it starts with a blank.
std::string wrapperArguments(const WrapperRequest& request);

// Reads the arguments after the program's name. Anything the program does not write, down to
// values of different quality rows in one line, is refused with ArgumentError.
WrapperRequest parseWrapperArguments(const std::vector<std::string>& args);

} // namespace tovilo
