#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

// The quality rows of a video conversion: what the settings dialog calls each row, the frame
// it makes for each aspect ratio, and the encoder options that follow the frame size (frame
// rate, bit rates, sample rate, as the encoder reads them). The stored setting is the row's
// index.
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
    const char* encoderPiece;
};

// The settings file and the dialog know rows 0 (best) to 4.
inline constexpr std::size_t QualityCount = 5;

inline constexpr auto QualityRows = std::to_array<QualityRow>({
    {u"最高画質（高解像度）",
     {{640, 480}, {640, 360}},
     " -r 30 -acodec libfaac -b 2500kb -ac 2 -ar 48000 -ab 160k -f mp4 -vlevel 30 "},
    {u"最高画質",
     {{320, 240}, {320, 180}},
     " -r 30 -acodec libfaac -b 2048kb -ac 2 -ar 48000 -ab 128k -f mp4 -vlevel 30 "},
    {u"高画質",
     {{320, 240}, {320, 180}},
     " -r 30 -acodec libfaac -b 1024kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 "},
    {u"標準画質",
     {{320, 240}, {320, 180}},
     " -r 30 -acodec libfaac -b 512kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 "},
    {u"低画質",
     {{320, 240}, {320, 180}},
     " -r 15 -acodec libfaac -b 384kb -ac 2 -ar 44100 -ab 64k -f mp4 -vlevel 30 "},
});

static_assert(QualityRows.size() == QualityCount, "one row for every stored quality");
static_assert(std::ranges::all_of(QualityRows,
                                  [](const QualityRow& row) {
                                      return row.name != nullptr && row.encoderPiece != nullptr &&
                                             row.frame[0].width > 0 && row.frame[1].width > 0;
                                  }),
              "every row complete");

// The row of a stored quality, or null for a value outside the table (a hand-edited settings
// file). The one place that checks the range.
constexpr const QualityRow* qualityRow(int quality)
{
    return quality >= 0 && static_cast<std::size_t>(quality) < QualityRows.size()
               ? &QualityRows[static_cast<std::size_t>(quality)]
               : nullptr;
}

} // namespace tovilo
