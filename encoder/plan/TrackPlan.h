#pragma once

#include "encoder/plan/PictureFilter.h"
#include "encoder/plan/SourceProbe.h"
#include "encoder/plan/WrapperArgs.h"
#include "oscore/Fd.h"

#include <optional>
#include <string>
#include <vector>

// What the wrapper takes from a source beyond the picture: which sound, which subtitles, and
// how ffmpeg gets at them.
namespace tovilo {

struct SubtitleSource
{
    BurnIn burn;
    // What libass reads, under the same number in ffmpeg (no close-on-exec): the source
    // itself, or the side file's text as UTF-8 in memory. Its /proc/self/fd name needs no
    // escaping in a filter graph, whatever the path.
    UniqueFd fd;
    std::string note; // why the subtitles asked for are left out; empty otherwise
    // What was mended in a side file so that it could be drawn, for the log.
    std::vector<std::string> repairs;
};

// The subtitles to burn in for the request (nothing unless it asks for them and the source has
// a picture). A side file that cannot be read is left out, with the reason in note; an ASS/SSA
// one keeps its own styles, within the bounds of boundedScript.
SubtitleSource prepareSubtitles(const WrapperRequest& request, const SourceInfo& source);

// Processor seconds per second of source that the conversion without subtitles spends from a
// position (seconds converted) on, from a few seconds of it: what burning in is held against.
std::optional<double> costWithoutSubtitles(const std::string& ffmpeg, const WrapperRequest& request,
                                           const SourceInfo& source, Watch& watch, double position);

// The streams, start and picture filter for one ffmpeg run.
MapOptions mapOptionsFor(const WrapperRequest& request, const SourceInfo& source,
                         const BurnIn& burn);

} // namespace tovilo
