#pragma once

#include "protocol/MediaIdentity.h"

#include <cstdint>
#include <string>
#include <vector>

// A DVD-Video title is cut into VOB files of a gigabyte (VIDEO_TS/VTS_nn_1.VOB, _2, ...); its
// chapters are in the title set's IFO, as cells by sector. The chapters of the title a VOB
// file holds, in that file's own times.
namespace tovilo {

struct DvdCell
{
    double seconds = 0;            // 0 for the other angles of an angle block
    std::uint32_t firstSector = 0; // from the start of the title set's first VOB file
    std::uint32_t lastSector = 0;
};

struct DvdChapterStart
{
    int number = 0;  // as the disc numbers it, from 1
    size_t cell = 0; // the index of its first cell
};

// The chapters one program chain's cells give the VOB file holding sectors [partFirst, partEnd):
// the one playing at the file's start from 0, those that start in the file after it; each named
// after its number on the disc.
std::vector<MediaChapter> chaptersInPart(const std::vector<DvdCell>& cells,
                                         const std::vector<DvdChapterStart>& chapters,
                                         std::uint64_t partFirst, std::uint64_t partEnd);

// For a title set's VOB file: the chapters of the title with the most chapters in it, read with
// libdvdread. Empty for any other file, an IFO that cannot be read or a file without chapters.
std::vector<MediaChapter> dvdChapters(const std::string& input);

} // namespace tovilo
