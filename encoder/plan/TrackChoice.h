#pragma once

#include "encoder/plan/SourceProbe.h"

#include <functional>
#include <string>
#include <vector>

// Which sound and which subtitles of a source a Japanese viewer gets.
namespace tovilo {

// Tagged jpn/ja/jp, or titled 日本語 or Japanese.
bool isJapanese(const Track& track);

enum class SubtitleKind
{
    Text,    // drawn by libass
    Picture, // bitmaps laid over the picture
    Unknown  // nothing we can draw (teletext, closed captions)
};
SubtitleKind subtitleKind(const std::string& codec);

struct SubtitleChoice
{
    int track = -1;       // position in SourceInfo::subtitleTracks, -1 for none
    std::string sideFile; // or a file beside the source
    bool found() const { return track >= 0 || !sideFile.empty(); }
};

// The first of: a Japanese track; a file beside the source with the same stem (clip.ja.srt,
// clip.jpn.ass, ..., then clip.srt, .ass, .ssa, .vtt); a forced or default track; the first
// track. Tracks that cannot be drawn are passed over. exists says whether a path is a file.
SubtitleChoice chooseSubtitles(const std::vector<Track>& tracks, const std::string& input,
                               const std::function<bool(const std::string&)>& exists);

// The stream index of the sound to take, -1 to leave it to ffmpeg (one track or none). With
// subtitles burned in, the original (default) sound; otherwise Japanese, else the default one,
// else the first.
int chooseSound(const std::vector<Track>& tracks, bool subtitlesBurned);

} // namespace tovilo
