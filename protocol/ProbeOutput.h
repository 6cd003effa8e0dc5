#pragma once

#include "protocol/MediaIdentity.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

// ffprobe's "flat" output, read the same way by lib/ffmpeg (before it converts a source) and by
// the program (before it hands a file to the device). No Qt: the wrapper links it too.
namespace tovilo {

// One "key=value" line per field; string values are quoted with backslash escapes.
class ProbeOutput
{
public:
    explicit ProbeOutput(std::string_view text);

    bool empty() const { return m_values.empty(); }
    // The value of `key`, or null when ffprobe did not print it.
    const std::string* find(std::string_view key) const;

    // Calls visit(rest, value) for every "<prefix><rest>" line, in key order.
    template <typename Visit> void forEachKey(std::string_view prefix, Visit visit) const
    {
        for (auto it = m_values.lower_bound(prefix);
             it != m_values.end() && std::string_view(it->first).starts_with(prefix); ++it)
            visit(std::string_view(it->first).substr(prefix.size()), it->second);
    }

    // Calls visit(n, field, value) for every "<prefix><n>.<field>" line, in key order.
    template <typename Visit> void forEachEntry(std::string_view prefix, Visit visit) const
    {
        for (auto it = m_values.lower_bound(prefix); it != m_values.end(); ++it) {
            const std::string_view key = it->first;
            if (key.substr(0, prefix.size()) != prefix)
                break;
            const std::string_view rest = key.substr(prefix.size());
            const size_t dot = rest.find('.');
            if (dot == std::string_view::npos)
                continue;
            const int n = probeIndex(rest.substr(0, dot));
            if (n >= 0)
                visit(n, rest.substr(dot + 1), it->second);
        }
    }

private:
    static int probeIndex(std::string_view text);

    std::map<std::string, std::string, std::less<>> m_values;
};

// An integer ffprobe printed; `fallback` when the text is not one.
int probeInt(std::string_view text, int fallback = 0);
// A number ffprobe printed (seconds, bits per second); -1 for "N/A" or text that is not one.
// Read the same whatever the locale's decimal point.
double probeNumber(std::string_view text);

// The fields of a stream that every reader needs.
struct ProbeStream
{
    int index = -1;
    std::string type;             // "video", "audio", "subtitle", ...
    bool attachedPicture = false; // cover art, stored as a one-picture video stream

    bool isMovingPicture() const { return type == "video" && !attachedPicture; }
};

// Takes one field of a "streams.stream.<n>." line into `stream`; false for any other field.
bool readStreamField(ProbeStream& stream, std::string_view field, const std::string& value);

// The -show_entries sections that give a file's own tags (those that say what it is; ffprobe
// matches them in any letter case, and a tag of megabytes stays out) and its chapters.
inline constexpr std::string_view TagAndChapterEntries =
    "format_tags=title,show,tvshow,series,season_number,season,episode_sort,episode,"
    "episode_number,episode_id,media_type,date,artist,album_artist,album:"
    "chapter=start_time,end_time:chapter_tags=title";
// The file's tags, keys in lower case, and its chapters in order, as those sections print them.
MediaTags probeTags(const ProbeOutput& probe);
std::vector<MediaChapter> probeChapters(const ProbeOutput& probe);

// What the hand-over needs of a file: its length, its bit rate, whether it has a picture.
struct MediaSummary
{
    bool known = false;          // ffprobe read the file
    double durationSeconds = -1; // -1 when unknown
    double bitsPerSecond = -1;
    bool hasMovingPicture = false; // not just cover art
    MediaTags tags;
    std::vector<MediaChapter> chapters;
};

// The ffprobe arguments (without the program name) that MediaSummary is read from; `file` as
// ffprobe must be given it.
std::vector<std::string> mediaSummaryArguments(const std::string& file);
MediaSummary readMediaSummary(std::string_view text);

} // namespace tovilo
