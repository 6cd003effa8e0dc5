#include "widgets/PngImage.h"

#include <QFile>
#include <QPainter>

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace tovilo {

namespace {

// Larger images are refused before anything is allocated for them.
constexpr png_uint_32 kMaxDimension = 16384;
constexpr std::size_t kMaxPixelBytes = 256u * 1024u * 1024u;

struct ErrorSink
{
    char message[256];
};

[[noreturn]] void onError(png_structp png, png_const_charp message)
{
    auto* sink = static_cast<ErrorSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", message ? message : "unknown error");
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

struct MemoryReader
{
    const png_byte* data;
    std::size_t size;
    std::size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, std::size_t length)
{
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (length > reader->size - reader->pos)
        png_error(png, "the data ends before the image does");
    std::memcpy(out, reader->data + reader->pos, length);
    reader->pos += length;
}

struct MemoryWriter
{
    QByteArray* out;
    bool failed;
};

void writeToMemory(png_structp png, png_bytep data, std::size_t length)
{
    auto* writer = static_cast<MemoryWriter*>(png_get_io_ptr(png));
    try {
        writer->out->append(reinterpret_cast<const char*>(data), qsizetype(length));
    } catch (...) {
        writer->failed = true;
    }
    // Outside the catch block: png_error leaves by longjmp.
    if (writer->failed)
        png_error(png, "out of memory");
}

void flushMemory(png_structp) {}

// What readPng hands back. It lives in the caller's frame, so a longjmp out of libpng
// never skips its destructor.
struct Decoded
{
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    std::vector<png_byte> pixels;
    std::vector<png_bytep> rows;
    std::vector<png_color> palette;
    std::vector<png_byte> paletteAlpha;
    bool hasColorKey = false;
    png_color_16 colorKey{};
};

// All libpng calls that may fail run here, after the setjmp. Its own locals are plain values
// that are not read after a longjmp.
bool readPng(png_structp png, png_infop info, Decoded& out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;

    png_read_info(png, info);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
    if (interlace != PNG_INTERLACE_NONE)
        png_set_interlace_handling(png);
    if (bitDepth < 8)
        png_set_packing(png);
    png_read_update_info(png, info);

    const std::size_t rowBytes = png_get_rowbytes(png, info);
    if (rowBytes == 0 || rowBytes > kMaxPixelBytes / height)
        png_error(png, "the image is too large");
    out.pixels.resize(rowBytes * height);
    out.rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y)
        out.rows[y] = out.pixels.data() + y * rowBytes;
    png_read_image(png, out.rows.data());
    png_read_end(png, nullptr);

    png_colorp palette = nullptr;
    int paletteSize = 0;
    if (png_get_PLTE(png, info, &palette, &paletteSize))
        out.palette.assign(palette, palette + paletteSize);
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    png_color_16p key = nullptr;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, &key)) {
        if (colorType == PNG_COLOR_TYPE_PALETTE && alpha)
            out.paletteAlpha.assign(alpha, alpha + alphaCount);
        else if (key) {
            out.hasColorKey = true;
            out.colorKey = *key;
        }
    }
    out.width = width;
    out.height = height;
    out.bitDepth = bitDepth;
    out.colorType = colorType;
    return true;
}

// The rows to write, prepared outside the setjmp frame: the fields a decoding gives.
using Encoding = Decoded;

bool writePng(png_structp png, png_infop info, Encoding& in)
{
    if (setjmp(png_jmpbuf(png)))
        return false;

    png_set_IHDR(png, info, in.width, in.height, in.bitDepth, in.colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!in.palette.empty())
        png_set_PLTE(png, info, in.palette.data(), int(in.palette.size()));
    if (!in.paletteAlpha.empty())
        png_set_tRNS(png, info, in.paletteAlpha.data(), int(in.paletteAlpha.size()), nullptr);
    if (in.hasColorKey)
        png_set_tRNS(png, info, nullptr, 0, &in.colorKey);
    png_write_info(png, info);
    if (in.bitDepth < 8)
        png_set_packing(png);
    png_write_image(png, in.rows.data());
    png_write_end(png, nullptr);
    return true;
}

struct ReadStructs
{
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

struct WriteStructs
{
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

PngError readError(const QString& detail)
{
    return PngError(QStringLiteral("PNG 画像を読み込めません（%1）").arg(detail));
}

} // namespace

// Moves pixel data between libpng's row layout and PngImage.
struct PngCodec
{
    static PngImage fromDecoded(const Decoded& d)
    {
        PngImage image;
        image.m_width = int(d.width);
        image.m_height = int(d.height);
        image.m_colorType = PngImage::ColorType(d.colorType);
        image.m_bitDepth = d.bitDepth;
        const std::size_t count = std::size_t(d.width) * d.height * image.channels();
        image.m_samples.resize(count);
        for (png_uint_32 y = 0; y < d.height; ++y) {
            const png_byte* row = d.rows[y];
            std::uint16_t* out =
                image.m_samples.data() + std::size_t(y) * d.width * image.channels();
            const std::size_t rowSamples = std::size_t(d.width) * image.channels();
            for (std::size_t i = 0; i < rowSamples; ++i)
                out[i] =
                    d.bitDepth == 16 ? std::uint16_t(row[2 * i] << 8 | row[2 * i + 1]) : row[i];
        }
        for (const png_color& c : d.palette)
            image.m_palette.append(qRgb(c.red, c.green, c.blue));
        for (png_byte a : d.paletteAlpha)
            image.m_paletteAlpha.append(char(a));
        if (d.hasColorKey) {
            if (image.m_colorType == PngImage::ColorType::Grey)
                image.m_colorKey = std::vector<std::uint16_t>{d.colorKey.gray};
            else
                image.m_colorKey =
                    std::vector<std::uint16_t>{d.colorKey.red, d.colorKey.green, d.colorKey.blue};
        }
        return image;
    }

    static void toEncoding(const PngImage& image, Encoding& e)
    {
        e.width = png_uint_32(image.m_width);
        e.height = png_uint_32(image.m_height);
        e.bitDepth = image.m_bitDepth;
        e.colorType = int(image.m_colorType);
        const std::size_t rowSamples = std::size_t(image.m_width) * image.channels();
        const std::size_t rowBytes = image.m_bitDepth == 16 ? rowSamples * 2 : rowSamples;
        e.pixels.resize(rowBytes * image.m_height);
        e.rows.resize(image.m_height);
        for (int y = 0; y < image.m_height; ++y) {
            png_byte* row = e.pixels.data() + std::size_t(y) * rowBytes;
            const std::uint16_t* in = image.m_samples.data() + std::size_t(y) * rowSamples;
            for (std::size_t i = 0; i < rowSamples; ++i) {
                if (image.m_bitDepth == 16) {
                    row[2 * i] = png_byte(in[i] >> 8);
                    row[2 * i + 1] = png_byte(in[i] & 0xff);
                } else {
                    row[i] = png_byte(in[i]);
                }
            }
            e.rows[y] = row;
        }
        for (QRgb c : image.m_palette)
            e.palette.push_back(
                png_color{png_byte(qRed(c)), png_byte(qGreen(c)), png_byte(qBlue(c))});
        // A tRNS table may not be longer than the palette.
        const qsizetype alphaCount = std::min(image.m_paletteAlpha.size(), image.m_palette.size());
        for (qsizetype i = 0; i < alphaCount; ++i)
            e.paletteAlpha.push_back(png_byte(image.m_paletteAlpha[i]));
        if (image.m_colorKey) {
            const auto& key = *image.m_colorKey;
            e.hasColorKey = true;
            if (key.size() == 1)
                e.colorKey.gray = key[0];
            else {
                e.colorKey.red = key[0];
                e.colorKey.green = key[1];
                e.colorKey.blue = key[2];
            }
        }
    }
};

PngImage PngImage::fromData(const QByteArray& data)
{
    const auto* bytes = reinterpret_cast<const png_byte*>(data.constData());
    if (data.size() < 8 || png_sig_cmp(bytes, 0, 8) != 0)
        throw readError(QStringLiteral("PNG の署名がありません"));

    ErrorSink sink{};
    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &sink, onError, onWarning);
    if (structs.png)
        structs.info = png_create_info_struct(structs.png);
    if (!structs.png || !structs.info)
        throw readError(QStringLiteral("out of memory"));

    MemoryReader reader{bytes, std::size_t(data.size()), 0};
    png_set_read_fn(structs.png, &reader, readFromMemory);
    png_set_user_limits(structs.png, kMaxDimension, kMaxDimension);

    Decoded decoded;
    if (!readPng(structs.png, structs.info, decoded))
        throw readError(QString::fromUtf8(sink.message));
    return PngCodec::fromDecoded(decoded);
}

PngImage PngImage::fromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PngError(
            QStringLiteral("PNG 画像を開けません: %1（%2）").arg(path, file.errorString()));
    try {
        return fromData(file.readAll());
    } catch (const PngError& e) {
        throw PngError(e.message() + QStringLiteral(": ") + path);
    }
}

PngImage PngImage::fromImage(const QImage& source)
{
    PngImage image;
    if (source.isNull())
        return image;
    image.m_width = source.width();
    image.m_height = source.height();
    const std::size_t pixels = std::size_t(image.m_width) * image.m_height;

    QImage indexed = source;
    if (source.format() == QImage::Format_Mono || source.format() == QImage::Format_MonoLSB)
        indexed = source.convertToFormat(QImage::Format_Indexed8);
    if (indexed.format() == QImage::Format_Indexed8 && indexed.colorCount() > 0) {
        const QList<QRgb> table = indexed.colorTable();
        image.m_colorType = ColorType::Palette;
        const qsizetype n = table.size();
        image.m_bitDepth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
        bool translucent = false;
        for (QRgb c : table) {
            image.m_palette.append(qRgb(qRed(c), qGreen(c), qBlue(c)));
            image.m_paletteAlpha.append(char(qAlpha(c)));
            translucent = translucent || qAlpha(c) != 255;
        }
        if (!translucent)
            image.m_paletteAlpha.clear();
        image.m_samples.reserve(pixels);
        for (int y = 0; y < image.m_height; ++y) {
            const uchar* line = indexed.constScanLine(y);
            image.m_samples.insert(image.m_samples.end(), line, line + image.m_width);
        }
        return image;
    }

    if (source.format() == QImage::Format_Grayscale8 ||
        source.format() == QImage::Format_Grayscale16) {
        const bool wide = source.format() == QImage::Format_Grayscale16;
        image.m_colorType = ColorType::Grey;
        image.m_bitDepth = wide ? 16 : 8;
        image.m_samples.reserve(pixels);
        for (int y = 0; y < image.m_height; ++y) {
            if (wide) {
                const auto* line = reinterpret_cast<const quint16*>(source.constScanLine(y));
                image.m_samples.insert(image.m_samples.end(), line, line + image.m_width);
            } else {
                const uchar* line = source.constScanLine(y);
                image.m_samples.insert(image.m_samples.end(), line, line + image.m_width);
            }
        }
        return image;
    }

    const bool alpha = source.hasAlphaChannel();
    image.m_colorType = alpha ? ColorType::Rgba : ColorType::Rgb;
    const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
    image.m_samples.reserve(pixels * image.channels());
    for (int y = 0; y < image.m_height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < image.m_width; ++x) {
            image.m_samples.push_back(std::uint16_t(qRed(line[x])));
            image.m_samples.push_back(std::uint16_t(qGreen(line[x])));
            image.m_samples.push_back(std::uint16_t(qBlue(line[x])));
            if (alpha)
                image.m_samples.push_back(std::uint16_t(qAlpha(line[x])));
        }
    }
    return image;
}

QByteArray PngImage::toPngData() const
{
    if (isEmpty())
        throw PngError(QStringLiteral("an empty image cannot be written as PNG"));
    Encoding encoding{};
    PngCodec::toEncoding(*this, encoding);

    ErrorSink sink{};
    WriteStructs structs;
    structs.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, onError, onWarning);
    if (structs.png)
        structs.info = png_create_info_struct(structs.png);
    if (!structs.png || !structs.info)
        throw PngError(QStringLiteral("out of memory"));

    QByteArray out;
    MemoryWriter writer{&out, false};
    png_set_write_fn(structs.png, &writer, writeToMemory, flushMemory);
    if (!writePng(structs.png, structs.info, encoding))
        throw PngError(
            QStringLiteral("PNG 画像を書き込めません（%1）").arg(QString::fromUtf8(sink.message)));
    return out;
}

int PngImage::channels() const
{
    switch (m_colorType) {
    case ColorType::Grey:
    case ColorType::Palette:
        return 1;
    case ColorType::GreyAlpha:
        return 2;
    case ColorType::Rgb:
        return 3;
    case ColorType::Rgba:
        return 4;
    }
    return 1;
}

bool PngImage::hasAlphaChannel() const
{
    return m_colorType == ColorType::GreyAlpha || m_colorType == ColorType::Rgba;
}

int PngImage::alphaAt(int x, int y) const
{
    if (!hasAlphaChannel() || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return -1;
    const int ch = channels();
    return m_samples[(std::size_t(y) * m_width + x) * ch + ch - 1];
}

void PngImage::addOpaqueAlpha()
{
    if (isEmpty() || hasAlphaChannel())
        return;
    if (m_colorType == ColorType::Palette) {
        // Entries the table already makes transparent keep their alpha.
        while (m_paletteAlpha.size() < 256)
            m_paletteAlpha.append(char(255));
        invalidate();
        return;
    }

    // Grey with alpha exists only at 8 and 16 bits, so lower depths are scaled up to 8.
    const int oldMax = maxSample();
    const int newDepth = m_bitDepth < 8 ? 8 : m_bitDepth;
    const int newMax = (1 << newDepth) - 1;
    const int ch = channels();
    std::vector<std::uint16_t> out;
    out.reserve(m_samples.size() / ch * (ch + 1));
    for (std::size_t i = 0; i < m_samples.size(); i += ch) {
        const bool keyed = m_colorKey && std::equal(m_colorKey->begin(), m_colorKey->end(),
                                                    m_samples.begin() + std::ptrdiff_t(i));
        for (int c = 0; c < ch; ++c)
            out.push_back(std::uint16_t(std::uint32_t(m_samples[i + c]) * newMax / oldMax));
        out.push_back(std::uint16_t(keyed ? 0 : newMax));
    }
    m_samples = std::move(out);
    m_bitDepth = newDepth;
    m_colorType = m_colorType == ColorType::Grey ? ColorType::GreyAlpha : ColorType::Rgba;
    m_colorKey.reset();
    invalidate();
}

void PngImage::divideAlpha(int divisor)
{
    if (!hasAlphaChannel() || divisor <= 0)
        return;
    const int ch = channels();
    for (std::size_t i = ch - 1; i < m_samples.size(); i += ch)
        m_samples[i] = std::uint16_t(m_samples[i] / divisor);
    invalidate();
}

QImage PngImage::toImage() const
{
    if (isEmpty())
        return QImage();
    if (!m_cache.isNull())
        return m_cache;

    const int max = maxSample();
    auto to8 = [&](int v) { return m_bitDepth == 8 ? v : (v * 255 + max / 2) / max; };
    const int ch = channels();
    QImage image(m_width, m_height, QImage::Format_ARGB32);
    for (int y = 0; y < m_height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const std::uint16_t* s = m_samples.data() + std::size_t(y) * m_width * ch;
        for (int x = 0; x < m_width; ++x, s += ch) {
            const bool keyed = m_colorKey && std::equal(m_colorKey->begin(), m_colorKey->end(), s);
            switch (m_colorType) {
            case ColorType::Grey:
                line[x] = qRgba(to8(s[0]), to8(s[0]), to8(s[0]), keyed ? 0 : 255);
                break;
            case ColorType::GreyAlpha:
                line[x] = qRgba(to8(s[0]), to8(s[0]), to8(s[0]), to8(s[1]));
                break;
            case ColorType::Rgb:
                line[x] = qRgba(to8(s[0]), to8(s[1]), to8(s[2]), keyed ? 0 : 255);
                break;
            case ColorType::Rgba:
                line[x] = qRgba(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3]));
                break;
            case ColorType::Palette: {
                // An index past the palette is a damaged file; show it black, don't read past.
                const int i = s[0];
                const QRgb c = i < m_palette.size() ? m_palette[i] : qRgb(0, 0, 0);
                const int a = i < m_paletteAlpha.size() ? uchar(m_paletteAlpha[i]) : 255;
                line[x] = qRgba(qRed(c), qGreen(c), qBlue(c), a);
                break;
            }
            }
        }
    }
    m_cache = image;
    return image;
}

void PngImage::draw(QPainter& painter, QPoint pos) const
{
    if (isEmpty())
        return;
    painter.drawImage(pos, toImage());
}

} // namespace tovilo
