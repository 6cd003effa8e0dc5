#include "encoder/plan/DvdLanguages.h"

#include <cstdarg>
#include <dvdread/dvd_reader.h>
#include <dvdread/ifo_read.h>
#include <dvdread/ifo_types.h>
#include <memory>

namespace tovilo {

namespace {

// The title set number of "VTS_nn_m.VOB" in any letter case; 0 for any other name.
int titleSetOf(const std::string& input)
{
    const size_t slash = input.rfind('/');
    std::string name = input.substr(slash == std::string::npos ? 0 : slash + 1);
    for (char& c : name)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (name.size() != 12 || name.compare(0, 4, "VTS_") != 0 || name[6] != '_' ||
        name.compare(8, 4, ".VOB") != 0)
        return 0;
    for (size_t i : {4u, 5u, 7u}) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
    }
    return (name[4] - '0') * 10 + (name[5] - '0');
}

std::string languageOf(uint16_t code)
{
    const char first = static_cast<char>(code >> 8);
    const char second = static_cast<char>(code & 0xFF);
    if (first < 'a' || first > 'z' || second < 'a' || second > 'z')
        return {};
    return {first, second};
}

// The number of a DVD sound stream within its kind: AC-3 0x80-0x87, DTS 0x88-0x8F, LPCM
// 0xA0-0xA7, MPEG audio 0x1C0-0x1C7.
int audioNumber(int id)
{
    if ((id >= 0x80 && id <= 0x8F) || (id >= 0xA0 && id <= 0xA7) || (id >= 0x1C0 && id <= 0x1C7))
        return id & 0x07;
    return -1;
}

void quiet(void*, dvd_logger_level_t, const char*, va_list) {}

} // namespace

void addDvdLanguages(const std::string& input, SourceInfo& source)
{
    const int titleSet = titleSetOf(input);
    if (titleSet == 0)
        return;
    const size_t slash = input.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : input.substr(0, slash + 1);
    dvd_logger_cb logger{quiet};
    const std::unique_ptr<dvd_reader_t, void (*)(dvd_reader_t*)> dvd(
        ::DVDOpen2(nullptr, &logger, folder.c_str()), ::DVDClose);
    if (!dvd)
        return;
    const std::unique_ptr<ifo_handle_t, void (*)(ifo_handle_t*)> ifo(
        ::ifoOpenVTSI(dvd.get(), titleSet), ::ifoClose);
    if (!ifo || !ifo->vtsi_mat)
        return;
    const vtsi_mat_t& mat = *ifo->vtsi_mat;
    for (Track& track : source.audioTracks) {
        const int n = audioNumber(track.id);
        if (track.language.empty() && n >= 0 && n < mat.nr_of_vts_audio_streams && n < 8)
            track.language = languageOf(mat.vts_audio_attr[n].lang_code);
    }
    for (Track& track : source.subtitleTracks) {
        const int n = track.id - 0x20;
        if (track.language.empty() && n >= 0 && n < mat.nr_of_vts_subp_streams && n < 32)
            track.language = languageOf(mat.vts_subp_attr[n].lang_code);
    }
}

} // namespace tovilo
