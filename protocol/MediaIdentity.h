#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a video or a song is, as an iPod files it: an episode of a show, a film, or music.
// lib/ffmpeg decides it from the source's tags and file name and writes it into the MP4 as tags;
// the hand-over reads those tags back. No Qt: both link it.
namespace tovilo {

struct MediaIdentity
{
    enum class Kind
    {
        Film,
        Episode,
        Music,
    };
    Kind kind = Kind::Film;
    std::string title;     // a film's or a song's; an episode's own, empty when it has none
    std::string show;      // episodes only
    int season = 0;        // episodes: 1 unless something says otherwise
    int episode = 0;       // episodes: from 1, or 0 for a special
    std::string episodeId; // as the name or the tags have it: "S01E02", "第十二話", "#02"
    std::string date;      // "2024-10-05" or "2001"; empty when unknown
    std::string artist;    // music
    std::string album;

    bool operator==(const MediaIdentity&) const = default;
};

// A file's tags by lower-case key, as ffprobe prints them.
using MediaTags = std::map<std::string, std::string>;

// From a file name (UTF-8, without its folder). `neighbours` are the other names in its folder:
// a bare trailing number ("Show 02") is an episode only beside other numbers of the same show.
MediaIdentity identityFromName(std::string_view fileName,
                               const std::vector<std::string>& neighbours = {});

// The tags first, the name for what they leave open; `music` for a sound-only file.
MediaIdentity identify(const MediaTags& tags, std::string_view fileName,
                       const std::vector<std::string>& neighbours, bool music);

// The title a device lists: an episode without one of its own is called by its show and number.
std::string listedTitle(const MediaIdentity& identity);

// Media types as iTunes writes them into an MP4.
inline constexpr int MusicMediaType = 1;
inline constexpr int MovieMediaType = 9;
inline constexpr int TvShowMediaType = 10;

// The tags (ffmpeg's -metadata keys) that carry the identity in an MP4.
std::vector<std::pair<std::string, std::string>> identityTags(const MediaIdentity& identity);

// A chapter, in seconds.
struct MediaChapter
{
    double start = 0;
    double end = 0;
    std::string title; // empty when the source names none

    bool operator==(const MediaChapter&) const = default;
};

// What a chapter the source leaves unnamed is called on the device: the same words in the file
// the wrapper writes and in the database, so they come from here. `number` counts from 1.
std::string chapterName(int number);

// The chapters as a converted file that starts `offset` seconds into the source holds them:
// sorted, the one playing at the cut starting at 0, those over before it dropped, every one
// named.
std::vector<MediaChapter> chaptersFrom(std::vector<MediaChapter> chapters, double offset);

} // namespace tovilo
