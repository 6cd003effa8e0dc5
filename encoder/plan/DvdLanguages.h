#pragma once

#include "encoder/plan/SourceProbe.h"

#include <string>

namespace tovilo {

// A title set's VOB (VIDEO_TS/VTS_nn_m.VOB) carries no languages; its IFO does. Tags the
// source's untagged sound and subpicture tracks with the languages of the title set's IFO,
// read with libdvdread. Anything else, or an IFO that cannot be read, changes nothing.
void addDvdLanguages(const std::string& input, SourceInfo& source);

} // namespace tovilo
