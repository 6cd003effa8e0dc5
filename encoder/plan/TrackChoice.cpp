#include "encoder/plan/TrackChoice.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tovilo {

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

template <typename Pick> const Track* firstWhere(const std::vector<Track>& tracks, Pick pick)
{
    const auto it = std::find_if(tracks.begin(), tracks.end(), pick);
    return it == tracks.end() ? nullptr : &*it;
}

} // namespace

bool isJapanese(const Track& track)
{
    const std::string language = lower(track.language);
    if (language == "jpn" || language == "ja" || language == "jp")
        return true;
    return track.title.find("日本語") != std::string::npos ||
           lower(track.title).find("japanese") != std::string::npos;
}

SubtitleKind subtitleKind(const std::string& codec)
{
    static constexpr std::array<std::string_view, 7> text = {"subrip", "srt",      "ass", "ssa",
                                                             "webvtt", "mov_text", "text"};
    static constexpr std::array<std::string_view, 3> picture = {"dvd_subtitle", "hdmv_pgs_subtitle",
                                                                "dvb_subtitle"};
    if (std::find(text.begin(), text.end(), codec) != text.end())
        return SubtitleKind::Text;
    if (std::find(picture.begin(), picture.end(), codec) != picture.end())
        return SubtitleKind::Picture;
    return SubtitleKind::Unknown;
}

SubtitleChoice chooseSubtitles(const std::vector<Track>& tracks, const std::string& input,
                               const std::function<bool(const std::string&)>& exists)
{
    std::vector<Track> drawable;
    for (const Track& track : tracks) {
        if (subtitleKind(track.codec) != SubtitleKind::Unknown)
            drawable.push_back(track);
    }
    const auto position = [&](const Track* track) {
        SubtitleChoice choice;
        for (size_t i = 0; track && i < tracks.size(); ++i) {
            if (tracks[i].index == track->index)
                choice.track = static_cast<int>(i);
        }
        return choice;
    };
    if (const Track* japanese = firstWhere(drawable, isJapanese))
        return position(japanese);

    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    const std::string stem = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                 ? input
                                 : input.substr(0, dot);
    for (const char* language : {".ja", ".jpn", ".jp", ""}) {
        for (const char* extension : {".srt", ".ass", ".ssa", ".vtt"}) {
            const std::string candidate = stem + language + extension;
            if (candidate != input && exists(candidate)) {
                SubtitleChoice choice;
                choice.sideFile = candidate;
                return choice;
            }
        }
    }

    if (const Track* marked =
            firstWhere(drawable, [](const Track& t) { return t.forced || t.isDefault; }))
        return position(marked);
    return position(drawable.empty() ? nullptr : &drawable.front());
}

int chooseSound(const std::vector<Track>& tracks, bool subtitlesBurned)
{
    if (tracks.size() < 2)
        return -1;
    const auto isDefault = [](const Track& t) { return t.isDefault; };
    const Track* chosen =
        subtitlesBurned ? firstWhere(tracks, isDefault) : firstWhere(tracks, isJapanese);
    if (!chosen)
        chosen = firstWhere(tracks, isDefault);
    return (chosen ? *chosen : tracks.front()).index;
}

} // namespace tovilo
