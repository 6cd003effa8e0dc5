#include "WrapperArgs.h"

#include "Mpeg4Settings.h"
#include "X264Settings.h"
#include "protocol/QualityTable.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

namespace tovilo {

namespace {

enum class Kind
{
    Flag,
    Path,
    Choice
};

struct Option
{
    std::string_view name;
    Kind kind;
    std::vector<std::string> values; // the accepted values of a Choice
};

// The values a field takes over every quality row, and the MP3 output's, each once.
std::vector<std::string> rowValues(int QualityRow::*field, std::initializer_list<int> mp3 = {},
                                   const char* unit = "")
{
    std::vector<std::string> all;
    for (const QualityRow& row : QualityRows)
        all.push_back(std::to_string(row.*field) + unit);
    for (int value : mp3)
        all.push_back(std::to_string(value) + unit);
    std::vector<std::string> values;
    for (std::string& value : all) {
        if (std::find(values.begin(), values.end(), value) == values.end())
            values.push_back(std::move(value));
    }
    return values;
}

std::vector<std::string> frameSizes()
{
    std::vector<std::string> sizes;
    for (const QualityRow& row : QualityRows) {
        for (const FrameSize& frame : row.frame) {
            const std::string size =
                std::to_string(frame.width) + "x" + std::to_string(frame.height);
            if (std::find(sizes.begin(), sizes.end(), size) == sizes.end())
                sizes.push_back(size);
        }
    }
    return sizes;
}

// Exactly what the program emits, with every value its quality table can produce.
const std::vector<Option>& options()
{
    static const std::vector<Option> kOptions = {
        {"-y", Kind::Flag, {}},
        {"-i", Kind::Path, {}},
        {"-flags", Kind::Choice, {"bitexact"}},
        {"-vcodec", Kind::Choice, {"mpeg4", "libx264"}},
        {"-s", Kind::Choice, frameSizes()},
        {"-async", Kind::Choice, {"1000"}},
        {"-r", Kind::Choice, rowValues(&QualityRow::frameRate)},
        {"-acodec", Kind::Choice, {"libfaac"}},
        {"-b", Kind::Choice, rowValues(&QualityRow::videoKbit, {}, "kb")},
        {"-ac", Kind::Choice, {"2"}},
        {"-ar", Kind::Choice, rowValues(&QualityRow::sampleRate, {Mp3SampleRate})},
        {"-ab", Kind::Choice, rowValues(&QualityRow::audioKbit, {Mp3Kbit}, "k")},
        {"-f", Kind::Choice, {"mp4", "mp3"}},
        {"-vlevel", Kind::Choice, {"30"}},
        {"-subtitles", Kind::Choice, {"jpn"}},
    };
    return kOptions;
}

const Option* findOption(std::string_view name)
{
    for (const Option& option : options()) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

std::string joinValues(const std::vector<std::string>& values)
{
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += i + 1 == values.size() ? " or " : ", ";
        text += values[i];
    }
    return text;
}

std::string aspectOf(const std::string& frameSize)
{
    return frameSize == "640x480" || frameSize == "320x240" ? "4:3" : "16:9";
}

struct Parsed
{
    std::map<std::string, std::string, std::less<>> values;
    bool hasOutput = false;
    std::string output;

    bool has(std::string_view name) const { return values.find(name) != values.end(); }
    const std::string& at(std::string_view name) const { return values.find(name)->second; }
};

Parsed parse(const std::vector<std::string>& args)
{
    Parsed parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const Option* option = findOption(arg);
        const bool last = i + 1 == args.size();
        if (!option) {
            // The output file is the last argument; there a name such as "-clip.mp4" is a file,
            // not an unknown option.
            if (!last) {
                if (!arg.empty() && arg[0] == '-')
                    throw ArgumentError("unknown option " + arg);
                throw ArgumentError("unexpected argument \"" + arg + "\" before the output file");
            }
            if (arg.empty())
                throw ArgumentError("the output file name is empty");
            parsed.hasOutput = true;
            parsed.output = arg;
            continue;
        }
        if (parsed.has(option->name))
            throw ArgumentError("option " + arg + " is given more than once");
        if (option->kind == Kind::Flag) {
            parsed.values.emplace(arg, std::string());
            continue;
        }
        if (last)
            throw ArgumentError("option " + arg + " needs a value");
        const std::string& value = args[++i];
        if (option->kind == Kind::Path) {
            if (value.empty())
                throw ArgumentError("the input file name is empty");
        } else if (std::find(option->values.begin(), option->values.end(), value) ==
                   option->values.end()) {
            throw ArgumentError("value \"" + value + "\" of option " + arg +
                                " is not supported (expected " + joinValues(option->values) + ")");
        }
        parsed.values.emplace(arg, value);
    }
    return parsed;
}

void requireOptions(const Parsed& parsed, std::initializer_list<std::string_view> names,
                    const std::string& what)
{
    for (std::string_view name : names) {
        if (!parsed.has(name))
            throw ArgumentError("option " + std::string(name) + " is missing for " + what);
    }
}

void refuseOptions(const Parsed& parsed, std::initializer_list<std::string_view> names,
                   const std::string& what)
{
    for (std::string_view name : names) {
        if (parsed.has(name))
            throw ArgumentError("option " + std::string(name) + " does not apply to " + what);
    }
}

// A frame size as the option table has checked it: "640x480".
FrameSize frameSizeOf(const std::string& frameSize)
{
    const size_t x = frameSize.find('x');
    return {std::stoi(frameSize.substr(0, x)), std::stoi(frameSize.substr(x + 1))};
}

Parsed parseComplete(const std::vector<std::string>& args)
{
    Parsed parsed = parse(args);
    if (!parsed.has("-i"))
        throw ArgumentError("no input file (-i) given");
    if (!parsed.hasOutput)
        throw ArgumentError("no output file given");
    if (!parsed.has("-f"))
        throw ArgumentError("no output format (-f) given");
    return parsed;
}

} // namespace

std::string fileUrl(const std::string& path)
{
    return "file:" + path;
}

std::string inputFormatFor(const std::string& input)
{
    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string extension = input.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return extension == "VRO" ? "mpeg" : std::string();
}

Request describeRequest(const std::vector<std::string>& args)
{
    const Parsed parsed = parseComplete(args);
    Request request;
    request.input = parsed.at("-i");
    request.output = parsed.output;
    request.audioOnly = parsed.at("-f") == "mp3";
    request.overwrite = parsed.has("-y");
    request.burnSubtitles = parsed.has("-subtitles");
    if (parsed.has("-s")) {
        const FrameSize frame = frameSizeOf(parsed.at("-s"));
        request.frameWidth = frame.width;
        request.frameHeight = frame.height;
    }
    return request;
}

std::vector<std::string> mapArguments(const std::vector<std::string>& args,
                                      const MapOptions& options)
{
    const Parsed parsed = parseComplete(args);

    std::vector<std::string> out = {"-hide_banner", "-nostdin"};
    if (parsed.has("-y") || options.overwrite)
        out.push_back("-y");
    if (options.noAutoRotate)
        out.push_back("-noautorotate");
    const std::string inputFormat = inputFormatFor(parsed.at("-i"));
    if (!inputFormat.empty())
        out.insert(out.end(), {"-f", inputFormat});
    if (!options.start.empty())
        out.insert(out.end(), {"-ss", options.start});
    out.insert(out.end(), {"-i", fileUrl(parsed.at("-i"))});
    const size_t mapsAt = out.size(); // the picture of a graph goes first, as -map 0:v would
    for (const std::string& stream : options.streams)
        out.insert(out.end(), {"-map", stream});

    if (parsed.at("-f") == "mp3") {
        const std::string what = "mp3 output";
        requireOptions(parsed, {"-ab", "-ar"}, what);
        refuseOptions(parsed,
                      {"-flags", "-vcodec", "-s", "-async", "-r", "-acodec", "-b", "-ac", "-vlevel",
                       "-subtitles"},
                      what);
        out.insert(out.end(), {"-vn", "-sn", "-c:a", "libmp3lame", "-b:a", parsed.at("-ab"), "-ar",
                               parsed.at("-ar"), "-f", "mp3"});
    } else {
        requireOptions(parsed,
                       {"-flags", "-vcodec", "-s", "-async", "-r", "-acodec", "-b", "-ac", "-ar",
                        "-ab", "-vlevel"},
                       "mp4 output");
        std::string videoRate = parsed.at("-b");
        videoRate.pop_back(); // "2500kb" -> "2500k"
        // -vlevel is dropped: ffmpeg ORs -level into the MPEG-4 profile byte, and 30 turns
        // Simple Profile into Simple Scalable Profile, which an iPod cannot play.
        // The frame rate is set by a filter: -r alone repeats the first frames when it halves
        // the rate, so the picture runs a frame or two behind the sound for the whole file.
        // Moved a quarter frame on, source times rounded to the millisecond (Matroska) stay
        // clear of the points where fps rounds to the other frame.
        const std::string frameRate =
            "setpts=PTS+0.25/(" + parsed.at("-r") + "*TB),fps=" + parsed.at("-r");
        const std::string chain =
            options.videoFilter.empty() ? frameRate : options.videoFilter + "," + frameRate;
        if (options.filterGraph)
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(mapsAt),
                       {"-filter_complex", chain + "[picture]", "-map", "[picture]"});
        else
            out.insert(out.end(), {"-vf", chain});
        const bool h264 = parsed.at("-vcodec") == "libx264";
        const FrameSize frame = frameSizeOf(parsed.at("-s"));
        std::vector<std::string> codec;
        if (h264) {
            codec =
                h264VideoArguments(h264EncodeFor(frame.width, frame.height, std::stoi(videoRate)));
            codec.insert(codec.end(), {"-flags", parsed.at("-flags")});
        } else {
            codec = mpeg4VideoArguments(mpeg4EncodeFor(frame.width, frame.height,
                                                       std::stoi(parsed.at("-r")),
                                                       std::stoi(videoRate)),
                                        parsed.at("-flags"));
        }
        out.insert(out.end(), codec.begin(), codec.end());
        out.insert(
            out.end(),
            {"-s", parsed.at("-s"), "-aspect", aspectOf(parsed.at("-s")), "-r", parsed.at("-r"),
             // Noise substitution makes several iPods' decoders click and squeak.
             "-c:a", "aac", "-aac_pns", "0", "-b:a", parsed.at("-ab"), "-ac", parsed.at("-ac"),
             "-ar", parsed.at("-ar"),
             // What ffmpeg 5.1 itself turns the deprecated -async into; later versions
             // dropped the option.
             "-af",
             "aresample=async=" + parsed.at("-async") + ":min_hard_comp=0.100000:first_pts=0",
             // The ipod variant writes the atom the iPods look for before playing H.264.
             "-sn", "-f", h264 ? "ipod" : "mp4"});
    }
    out.push_back(fileUrl(parsed.output));
    return out;
}

} // namespace tovilo
