#include "protocol/WrapperCommand.h"

#include <algorithm>
#include <map>

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

void addOnce(std::vector<std::string>& values, std::string value)
{
    if (std::find(values.begin(), values.end(), value) == values.end())
        values.push_back(std::move(value));
}

// The values a field takes over every quality row, and the MP3 output's, each once.
std::vector<std::string> rowValues(int QualityRow::*field, std::initializer_list<int> mp3 = {},
                                   const char* unit = "")
{
    std::vector<std::string> values;
    for (const QualityRow& row : QualityRows)
        addOnce(values, std::to_string(row.*field) + unit);
    for (int value : mp3)
        addOnce(values, std::to_string(value) + unit);
    return values;
}

std::vector<std::string> frameSizes()
{
    std::vector<std::string> sizes;
    for (const QualityRow& row : QualityRows) {
        for (const FrameSize& frame : row.frame)
            addOnce(sizes, frameSizeText(frame));
    }
    return sizes;
}

// Exactly what the program writes, with every value its quality table can produce.
const std::vector<Option>& options()
{
    static const std::vector<Option> kOptions = {
        {"-y", Kind::Flag, {}},
        {"-i", Kind::Path, {}},
        {"-flags", Kind::Choice, {std::string(CodecFlags)}},
        {"-vcodec", Kind::Choice, {"mpeg4", "libx264"}},
        {"-s", Kind::Choice, frameSizes()},
        {"-async", Kind::Choice, {std::to_string(AudioSyncSamples)}},
        {"-r", Kind::Choice, rowValues(&QualityRow::frameRate)},
        {"-acodec", Kind::Choice, {"libfaac"}},
        {"-b", Kind::Choice, rowValues(&QualityRow::videoKbit, {}, "kb")},
        {"-ac", Kind::Choice, {std::to_string(AudioChannels)}},
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

// Each value is one the table knows; together they must be one row's.
void requireValue(const Parsed& parsed, std::string_view name, const std::string& expected,
                  const std::string& what)
{
    const std::string& value = parsed.at(name);
    if (value != expected)
        throw ArgumentError("value \"" + value + "\" of option " + std::string(name) +
                            " does not go with " + what + " (expected " + expected + ")");
}

} // namespace

std::string frameSizeText(const FrameSize& frame)
{
    return std::to_string(frame.width) + "x" + std::to_string(frame.height);
}

FrameSize frameSizeOf(int quality, bool wide)
{
    const QualityRow* row = qualityRow(quality);
    return (row ? *row : QualityRows.back()).frame[wide ? 1 : 0];
}

std::string frameSizeArgument(int quality, bool wide)
{
    return "-s " + frameSizeText(frameSizeOf(quality, wide)) + ' ';
}

std::string quotedArgument(std::string_view argument)
{
    std::string quoted;
    quoted.reserve(argument.size() + 2);
    quoted += '"';
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            // Backslashes before a quote are doubled, and the quote itself escaped.
            quoted.append(backslashes * 2 + 1, '\\');
            backslashes = 0;
        } else {
            quoted.append(backslashes, '\\');
            backslashes = 0;
        }
        if (c != '\\')
            quoted += c;
    }
    // Trailing backslashes stand before the closing quote, so they are doubled too.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string wrapperArguments(const WrapperRequest& request)
{
    std::string line = request.overwrite ? " -y -i " : " -i ";
    line += quotedArgument(request.source);
    if (request.audioOnly)
        return line + " -ab " + std::to_string(Mp3Kbit) + "k -ar " + std::to_string(Mp3SampleRate) +
               " -f mp3 " + quotedArgument(request.output);
    // H.264 differs only in the encoder's name; the wrapper makes it what iPods play.
    line += " -flags " + std::string(CodecFlags) + " -vcodec " +
            (request.codec == VideoCodec::H264 ? "libx264 " : "mpeg4 ");
    line += frameSizeArgument(request.quality, request.wide) + " -async " +
            std::to_string(AudioSyncSamples) + ' ';
    if (const QualityRow* row = qualityRow(request.quality)) {
        line += " -r " + std::to_string(row->frameRate) + " -acodec libfaac -b " +
                std::to_string(row->videoKbit) + "kb -ac " + std::to_string(AudioChannels) +
                " -ar " + std::to_string(row->sampleRate) + " -ab " +
                std::to_string(row->audioKbit) + "k -f mp4 -vlevel 30 ";
        // The wrapper finds the track and burns it in; without the setting the line is as ever.
        if (request.burnSubtitles)
            line += "-subtitles jpn ";
        line += quotedArgument(request.output);
    }
    return line;
}

WrapperRequest parseWrapperArguments(const std::vector<std::string>& args)
{
    const Parsed parsed = parse(args);
    if (!parsed.has("-i"))
        throw ArgumentError("no input file (-i) given");
    if (!parsed.hasOutput)
        throw ArgumentError("no output file given");
    if (!parsed.has("-f"))
        throw ArgumentError("no output format (-f) given");

    WrapperRequest request;
    request.source = parsed.at("-i");
    request.output = parsed.output;
    request.overwrite = parsed.has("-y");
    request.audioOnly = parsed.at("-f") == "mp3";
    if (request.audioOnly) {
        const std::string what = "mp3 output";
        requireOptions(parsed, {"-ab", "-ar"}, what);
        refuseOptions(parsed,
                      {"-flags", "-vcodec", "-s", "-async", "-r", "-acodec", "-b", "-ac", "-vlevel",
                       "-subtitles"},
                      what);
        requireValue(parsed, "-ab", std::to_string(Mp3Kbit) + "k", what);
        requireValue(parsed, "-ar", std::to_string(Mp3SampleRate), what);
        return request;
    }
    requireOptions(parsed,
                   {"-flags", "-vcodec", "-s", "-async", "-r", "-acodec", "-b", "-ac", "-ar", "-ab",
                    "-vlevel"},
                   "mp4 output");
    request.codec = parsed.at("-vcodec") == "libx264" ? VideoCodec::H264 : VideoCodec::Mpeg4;
    request.burnSubtitles = parsed.has("-subtitles");
    // The video rate names the row; the option table has checked it is one of them.
    const std::string& videoRate = parsed.at("-b");
    request.quality = qualityOfVideoRate(std::stoi(videoRate));
    const QualityRow& row = QualityRows[static_cast<std::size_t>(request.quality)];
    const std::string what = "-b " + videoRate;
    request.wide = parsed.at("-s") == frameSizeText(row.frame[1]);
    if (!request.wide)
        requireValue(parsed, "-s", frameSizeText(row.frame[0]), what);
    requireValue(parsed, "-r", std::to_string(row.frameRate), what);
    requireValue(parsed, "-ar", std::to_string(row.sampleRate), what);
    requireValue(parsed, "-ab", std::to_string(row.audioKbit) + "k", what);
    return request;
}

} // namespace tovilo
