#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRgb>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class QPainter;

namespace tovilo {

// A PNG file could not be read or written.
class PngError : public Error
{
public:
    using Error::Error;
};

// A PNG image decoded with libpng, kept in its own colour type, bit depth and palette so the
// image button can give it an alpha channel and fade it the way PNG itself defines them.
class PngImage
{
public:
    // Values are the PNG colour type codes.
    enum class ColorType
    {
        Grey = 0,
        Rgb = 2,
        Palette = 3,
        GreyAlpha = 4,
        Rgba = 6
    };

    PngImage() = default;

    static PngImage fromData(const QByteArray& data);
    // A file path or a Qt resource path (":/artwork/...").
    static PngImage fromFile(const QString& path);
    // Indexed8 -> palette (smallest bit depth that holds the table), Grayscale8/16 -> grey,
    // formats with alpha -> RGBA, everything else -> RGB; 8 bits per sample otherwise.
    static PngImage fromImage(const QImage& image);

    QByteArray toPngData() const;

    bool isEmpty() const { return m_width == 0 || m_height == 0; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    ColorType colorType() const { return m_colorType; }
    int bitDepth() const { return m_bitDepth; }
    bool hasAlphaChannel() const;
    // RGB entries of a palette image.
    const QList<QRgb>& palette() const { return m_palette; }
    // Alpha per palette entry (the tRNS table); entries past its end are opaque.
    const QByteArray& paletteAlpha() const { return m_paletteAlpha; }
    // Raw alpha sample of an image with an alpha channel, at its own bit depth.
    int alphaAt(int x, int y) const;

    // Grey -> grey+alpha, RGB -> RGBA with every pixel opaque (pixels matching a tRNS colour
    // key stay transparent); a palette image gets a 256-entry transparency table.
    void addOpaqueAlpha();
    // Every alpha sample a becomes a / divisor; images without an alpha channel stay as they are.
    void divideAlpha(int divisor);

    // Non-premultiplied ARGB32 rendering of the image.
    QImage toImage() const;
    // Draws with the top-left corner at pos, blended over what is there by the alpha.
    void draw(QPainter& painter, QPoint pos) const;

private:
    int channels() const;
    int maxSample() const { return (1 << m_bitDepth) - 1; }
    void invalidate() { m_cache = QImage(); }

    int m_width = 0;
    int m_height = 0;
    ColorType m_colorType = ColorType::Rgb;
    int m_bitDepth = 8;
    // One entry per sample, row by row; samples below 8 bits are unpacked, 16-bit ones whole.
    std::vector<std::uint16_t> m_samples;
    QList<QRgb> m_palette;
    QByteArray m_paletteAlpha;
    // tRNS colour key of a grey (one sample) or RGB (three samples) image.
    std::optional<std::vector<std::uint16_t>> m_colorKey;
    mutable QImage m_cache;

    friend struct PngCodec;
};

} // namespace tovilo
