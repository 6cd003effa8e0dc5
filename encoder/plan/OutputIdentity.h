#pragma once

#include "encoder/plan/SourceProbe.h"
#include "protocol/MediaIdentity.h"
#include "protocol/WrapperCommand.h"

#include <string>
#include <utility>
#include <vector>

// What the converted file says of itself, so a device files it where people look for it: the
// tags of the episode or film it is, and its chapters.
namespace tovilo {

struct OutputIdentity
{
    std::vector<std::pair<std::string, std::string>> tags;
    // In the output's times; they replace the source's own when replaceChapters.
    std::vector<MediaChapter> chapters;
    bool replaceChapters = false;
};

// From the source's tags, its name and the names beside it, and its chapters (a DVD title's
// from the disc's IFO), moved as far as the conversion cuts off the source's start. Nothing for
// an MP3, which keeps the source's own tags, or a source the probe could not read.
OutputIdentity outputIdentityFor(const WrapperRequest& request, const SourceInfo& source);

// The chapters as ffmpeg's metadata file (ffmetadata) gives them.
std::string chapterMetadata(const std::vector<MediaChapter>& chapters);

} // namespace tovilo
