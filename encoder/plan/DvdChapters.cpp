#include "encoder/plan/DvdChapters.h"

#include "oscore/FileInfo.h"

#include <cstdarg>
#include <dvdread/dvd_reader.h>
#include <dvdread/ifo_read.h>
#include <dvdread/ifo_types.h>
#include <memory>
#include <optional>

namespace tovilo {

namespace {

constexpr std::uint64_t kSector = 2048;

int bcd(std::uint8_t value)
{
    return (value >> 4) * 10 + (value & 0x0F);
}

double seconds(const dvd_time_t& time)
{
    const int rate = (time.frame_u >> 6) == 1 ? 25 : 30;
    return bcd(time.hour) * 3600.0 + bcd(time.minute) * 60.0 + bcd(time.second) +
           static_cast<double>(bcd(time.frame_u & 0x3F)) / rate;
}

// Where `sector` falls in the title's time, when a cell holds it.
std::optional<double> timeAt(const std::vector<DvdCell>& cells, const std::vector<double>& at,
                             std::uint64_t sector)
{
    for (size_t i = 0; i < cells.size(); ++i) {
        const DvdCell& cell = cells[i];
        if (cell.seconds > 0 && cell.firstSector <= sector && sector <= cell.lastSector)
            return at[i] + cell.seconds * static_cast<double>(sector - cell.firstSector) /
                               static_cast<double>(cell.lastSector - cell.firstSector + 1);
    }
    return std::nullopt;
}

// "VTS_nn_m.VOB" in any letter case: the title set and the part; nothing for other names.
std::optional<std::pair<int, int>> vobPart(const std::string& name)
{
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (upper.size() != 12 || upper.compare(0, 4, "VTS_") != 0 || upper[6] != '_' ||
        upper.compare(8, 4, ".VOB") != 0)
        return std::nullopt;
    for (size_t i : {4u, 5u, 7u}) {
        if (upper[i] < '0' || upper[i] > '9')
            return std::nullopt;
    }
    const int part = upper[7] - '0';
    if (part == 0) // the title set's menu
        return std::nullopt;
    return std::pair{(upper[4] - '0') * 10 + (upper[5] - '0'), part};
}

void quiet(void*, dvd_logger_level_t, const char*, va_list) {}

} // namespace

std::vector<MediaChapter> chaptersInPart(const std::vector<DvdCell>& cells,
                                         const std::vector<DvdChapterStart>& chapters,
                                         std::uint64_t partFirst, std::uint64_t partEnd)
{
    std::vector<double> at(cells.size() + 1, 0); // the title's time where each cell starts
    for (size_t i = 0; i < cells.size(); ++i)
        at[i + 1] = at[i] + cells[i].seconds;
    std::optional<double> origin = timeAt(cells, at, partFirst);
    for (size_t i = 0; i < cells.size() && !origin; ++i) {
        if (cells[i].firstSector >= partFirst && cells[i].firstSector < partEnd)
            origin = at[i];
    }
    if (!origin)
        return {};
    const double end = timeAt(cells, at, partEnd).value_or(at.back());
    std::vector<MediaChapter> inPart;
    for (size_t k = 0; k < chapters.size(); ++k) {
        const size_t cell = chapters[k].cell;
        if (cell >= cells.size() || cells[cell].firstSector >= partEnd)
            continue;
        const size_t next = k + 1 < chapters.size() ? chapters[k + 1].cell : cells.size();
        inPart.push_back({at[cell], std::min(at[std::min(next, cells.size())], end),
                          chapterName(chapters[k].number)});
    }
    return chaptersFrom(inPart, *origin);
}

std::vector<MediaChapter> dvdChapters(const std::string& input)
{
    const size_t slash = input.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : input.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
    const std::optional<std::pair<int, int>> part = vobPart(name);
    if (!part)
        return {};
    // The parts before this one, by their sizes; the names as this one is written.
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (int m = 1; m <= part->second; ++m) {
        std::string sibling = input;
        sibling[input.size() - 5] = static_cast<char>('0' + m);
        const std::optional<FileInfo> info = fileInfo(sibling.c_str());
        if (!info || !info->isRegular())
            return {};
        first = end;
        end += static_cast<std::uint64_t>(info->size) / kSector;
    }
    dvd_logger_cb logger{quiet};
    const std::unique_ptr<dvd_reader_t, void (*)(dvd_reader_t*)> dvd(
        ::DVDOpen2(nullptr, &logger, folder.c_str()), ::DVDClose);
    if (!dvd)
        return {};
    const std::unique_ptr<ifo_handle_t, void (*)(ifo_handle_t*)> ifo(
        ::ifoOpen(dvd.get(), part->first), ::ifoClose);
    if (!ifo || !ifo->vts_ptt_srpt || !ifo->vts_pgcit)
        return {};
    std::vector<MediaChapter> best;
    const vts_ptt_srpt_t& titles = *ifo->vts_ptt_srpt;
    for (int t = 0; t < titles.nr_of_srpts; ++t) {
        const ttu_t& title = titles.title[t];
        if (title.nr_of_ptts == 0)
            continue;
        // A title whose chapters lie in several program chains is read in its first.
        const int pgcn = title.ptt[0].pgcn;
        if (pgcn < 1 || pgcn > ifo->vts_pgcit->nr_of_pgci_srp)
            continue;
        const pgc_t* pgc = ifo->vts_pgcit->pgci_srp[pgcn - 1].pgc;
        if (!pgc || !pgc->cell_playback || !pgc->program_map)
            continue;
        std::vector<DvdCell> cells;
        for (int c = 0; c < pgc->nr_of_cells; ++c) {
            const cell_playback_t& cell = pgc->cell_playback[c];
            // Only the first angle of an angle block plays in the title's time.
            const bool otherAngle = cell.block_type == 1 && cell.block_mode != 1;
            cells.push_back({otherAngle ? 0 : seconds(cell.playback_time), cell.first_sector,
                             cell.last_sector});
        }
        std::vector<DvdChapterStart> chapters;
        for (int p = 0; p < title.nr_of_ptts; ++p) {
            const ptt_info_t& ptt = title.ptt[p];
            if (ptt.pgcn == pgcn && ptt.pgn >= 1 && ptt.pgn <= pgc->nr_of_programs &&
                pgc->program_map[ptt.pgn - 1] >= 1)
                chapters.push_back({p + 1, static_cast<size_t>(pgc->program_map[ptt.pgn - 1] - 1)});
        }
        std::vector<MediaChapter> found = chaptersInPart(cells, chapters, first, end);
        if (found.size() > best.size())
            best = std::move(found);
    }
    return best;
}

} // namespace tovilo
