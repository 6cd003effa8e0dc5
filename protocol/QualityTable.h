#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

// The quality rows of a video conversion: what the settings dialog calls each row, the frame
// it makes for each aspect ratio, the numbers its command line carries (frame rate, bit
// rates, sample rate) and the constant quality the wrapper gives H.264 at that row. The program
// builds its command lines from them and the wrapper accepts exactly these values and chooses its
// encoder settings by row. The stored setting is the row's index.
namespace tovilo {

struct FrameSize
{
    int width;
    int height;
};

struct QualityRow
{
    const char16_t* name;
    FrameSize frame[2]; // by aspect ratio: 0 = 4:3, 1 = 16:9
    int frameRate;
    int videoKbit;
    int sampleRate;
    int audioKbit;
    // On easy content MPEG-4 reaches its finest quantiser at every row; these match its picture
    // there (at 15 fps the same CRF spends more on each frame). Where the content is hard the
    // H.264 cap decides instead, so the file never outgrows the rate asked for.
    int h264Crf;
};

// The settings file and the dialog know rows 0 (best) to 4.
inline constexpr std::size_t QualityCount = 5;

inline constexpr auto QualityRows = std::to_array<QualityRow>({
    {u"最高画質（高解像度）", {{640, 480}, {640, 360}}, 30, 2500, 48000, 160, 18},
    {u"最高画質", {{320, 240}, {320, 180}}, 30, 2048, 48000, 128, 17},
    {u"高画質", {{320, 240}, {320, 180}}, 30, 1024, 44100, 128, 17},
    {u"標準画質", {{320, 240}, {320, 180}}, 30, 512, 44100, 128, 17},
    {u"低画質", {{320, 240}, {320, 180}}, 15, 384, 44100, 64, 20},
});

// MP3 output takes no row.
inline constexpr int Mp3SampleRate = 44100;
inline constexpr int Mp3Kbit = 128;

static_assert(QualityRows.size() == QualityCount, "one row for every stored quality");
static_assert(std::ranges::all_of(QualityRows,
                                  [](const QualityRow& row) {
                                      return row.name != nullptr && row.frame[0].width > 0 &&
                                             row.frame[1].width > 0 && row.frameRate > 0;
                                  }),
              "every row complete");
// The wrapper reads the row from the line's video rate.
static_assert(std::ranges::all_of(QualityRows,
                                  [](const QualityRow& row) {
                                      return std::ranges::count(QualityRows, row.videoKbit,
                                                                &QualityRow::videoKbit) == 1;
                                  }),
              "video rates unique");

// The row of a stored quality, or null for a value outside the table (a hand-edited settings
// file). The one place that checks the range.
constexpr const QualityRow* qualityRow(int quality)
{
    return quality >= 0 && static_cast<std::size_t>(quality) < QualityRows.size()
               ? &QualityRows[static_cast<std::size_t>(quality)]
               : nullptr;
}

// The index of the row with this video rate, or -1.
constexpr int qualityOfVideoRate(int kbit)
{
    for (std::size_t i = 0; i < QualityRows.size(); ++i) {
        if (QualityRows[i].videoKbit == kbit)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace tovilo
