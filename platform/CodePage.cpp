#include "platform/CodePage.h"

#include "protocol/Utf8.h"

#include <QByteArrayView>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <memory>

namespace tovilo {

namespace {

// UTF-8 until the program has read its locale (see detectSystemCodePage).
std::atomic<CodePage> g_codePage{CodePage::Utf8};

// A byte that does not decode is kept as U+DC00 + byte; only bytes from 0x80 on need it.
QChar escapedByte(char byte)
{
    return QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(byte)));
}

bool isEscape(char16_t unit)
{
    return unit >= 0xDC80 && unit <= 0xDCFF;
}

// Whether text[i] is an escaped byte: a lone low surrogate of the escape range, not the
// second half of a pair.
bool isEscapeAt(const QString& text, qsizetype i)
{
    return isEscape(text[i].unicode()) && (i == 0 || !text[i - 1].isHighSurrogate());
}

bool isCp932Lead(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A lead byte starts a double-byte character only when a trail byte follows; otherwise (the
// last byte of a UTF-8 name before its "/", say) it stands alone.
bool isCp932PairAt(const QByteArray& bytes, qsizetype i)
{
    if (!isCp932Lead(static_cast<unsigned char>(bytes[i])) || i + 1 >= bytes.size())
        return false;
    const auto trail = static_cast<unsigned char>(bytes[i + 1]);
    return (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC);
}

// Length of the well-formed UTF-8 sequence at bytes[i], 0 when none starts there.
qsizetype utf8Length(const QByteArray& bytes, qsizetype i)
{
    return qsizetype(
        utf8SequenceAt(std::string_view(bytes.constData() + i, size_t(bytes.size() - i))));
}

QString decodeUtf8(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const qsizetype length = utf8Length(bytes, i);
        if (length == 0) {
            text += escapedByte(bytes[i++]);
            continue;
        }
        const auto first = static_cast<unsigned char>(bytes[i]);
        char32_t code = length == 1 ? first : first & (0x7Fu >> length);
        for (qsizetype k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3Fu);
        if (QChar::requiresSurrogates(code)) {
            text += QChar(QChar::highSurrogate(code));
            text += QChar(QChar::lowSurrogate(code));
        } else {
            text += QChar(static_cast<char16_t>(code));
        }
        i += length;
    }
    return text;
}

QByteArray encodeUtf8(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 3);
    const auto put = [&bytes](unsigned value) { bytes += static_cast<char>(value); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80) {
            put(unit);
        } else if (unit < 0x800) {
            put(0xC0u | (unit >> 6));
            put(0x80u | (unit & 0x3Fu));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                   text[i + 1].isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(unit, text[++i].unicode());
            put(0xF0u | (code >> 18));
            put(0x80u | ((code >> 12) & 0x3Fu));
            put(0x80u | ((code >> 6) & 0x3Fu));
            put(0x80u | (code & 0x3Fu));
        } else if (isEscape(unit)) {
            put(unit & 0xFFu);
        } else if (QChar::isSurrogate(unit)) {
            put('?');
        } else {
            put(0xE0u | (unit >> 12));
            put(0x80u | ((unit >> 6) & 0x3Fu));
            put(0x80u | (unit & 0x3Fu));
        }
    }
    return bytes;
}

using IconvHandle = std::unique_ptr<void, int (*)(iconv_t)>;

IconvHandle openIconv(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = nullptr;
    return IconvHandle(cd, [](iconv_t handle) { return handle ? iconv_close(handle) : 0; });
}

// Converts a whole buffer; false when any of it does not convert.
bool convertStrict(iconv_t cd, const char* in, size_t inLeft, QByteArray& out)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(static_cast<qsizetype>(inLeft * 2 + 16));
    char* inPtr = const_cast<char*>(in);
    char* outPtr = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    while (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        if (errno != E2BIG)
            return false;
        const qsizetype used = outPtr - out.data();
        out.resize(out.size() * 2);
        outPtr = out.data() + used;
        outLeft = static_cast<size_t>(out.size() - used);
    }
    out.resize(outPtr - out.data());
    return true;
}

// UTF-16 text to code page 932; a character it cannot express becomes "?" so that nothing
// is cut off.
QByteArray encodeCp932Run(iconv_t cd, const QChar* units, qsizetype count)
{
    QByteArray out;
    out.resize(count * 2 + 16);
    auto* inPtr = reinterpret_cast<char*>(const_cast<QChar*>(units));
    size_t inLeft = static_cast<size_t>(count) * 2;
    char* outPtr = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    const auto grow = [&] {
        const qsizetype used = outPtr - out.data();
        out.resize(out.size() * 2 + 4);
        outPtr = out.data() + used;
        outLeft = static_cast<size_t>(out.size() - used);
    };
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            grow();
            continue;
        }
        // A pair of surrogates is one character: replace it once.
        size_t skip = std::min<size_t>(2, inLeft);
        const auto unit = static_cast<unsigned char>(inPtr[1]);
        if (inLeft >= 4 && unit >= 0xD8 && unit <= 0xDB)
            skip = 4;
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (outLeft < 1)
            grow();
        *outPtr++ = '?';
        --outLeft;
    }
    out.resize(outPtr - out.data());
    return out;
}

QString fromUtf16Le(const QByteArray& utf16)
{
    return QString(reinterpret_cast<const QChar*>(utf16.constData()), utf16.size() / 2);
}

struct Cp932
{
    IconvHandle toText = openIconv("UTF-16LE", "CP932");
    IconvHandle toBytes = openIconv("CP932", "UTF-16LE");
    bool isValid() const { return toText && toBytes; }

    QByteArray encode(const QString& text) const
    {
        QByteArray bytes;
        qsizetype runStart = 0;
        const auto flush = [&](qsizetype end) {
            if (end > runStart)
                bytes += encodeCp932Run(toBytes.get(), text.constData() + runStart, end - runStart);
        };
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (!isEscapeAt(text, i))
                continue;
            flush(i);
            bytes += static_cast<char>(text[i].unicode() & 0xFF);
            runStart = i + 1;
        }
        flush(text.size());
        return bytes;
    }

    // Strict reading: false when a byte does not decode.
    bool decodeStrict(const char* bytes, qsizetype size, QString& text) const
    {
        QByteArray utf16;
        if (!convertStrict(toText.get(), bytes, static_cast<size_t>(size), utf16))
            return false;
        text = fromUtf16Le(utf16);
        return true;
    }

    QString decode(const QByteArray& bytes) const
    {
        // Usually the whole string reads and writes back unchanged.
        QString text;
        if (decodeStrict(bytes.constData(), bytes.size(), text) && encode(text) == bytes)
            return text;
        // Otherwise character by character: undecodable bytes, and characters that have two
        // codes in 932 (so would come back as the other one), are kept as escapes.
        text.clear();
        for (qsizetype i = 0; i < bytes.size();) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            if (byte < 0x80) {
                text += QLatin1Char(static_cast<char>(byte));
                ++i;
                continue;
            }
            const qsizetype length = isCp932PairAt(bytes, i) ? 2 : 1;
            QString unit;
            if (decodeStrict(bytes.constData() + i, length, unit) &&
                encode(unit) == QByteArrayView(bytes.constData() + i, length)) {
                text += unit;
                i += length;
            } else {
                text += escapedByte(bytes[i++]);
            }
        }
        return text;
    }
};

QString replaceEscapes(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isEscapeAt(text, i))
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

bool hasEscapes(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isEscapeAt(text, i))
            return true;
    }
    return false;
}

// Without a converter every byte from 0x80 on is kept as an escape: lossless, if unreadable.
QString escapeHighBytes(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes)
        text +=
            static_cast<unsigned char>(byte) < 0x80 ? QChar(QLatin1Char(byte)) : escapedByte(byte);
    return text;
}

} // namespace

CodePage detectSystemCodePage()
{
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr) {
        const QByteArrayView name(codeset);
        for (const char* sjis : {"SJIS", "SHIFT_JIS", "SHIFT-JIS", "CP932", "WINDOWS-31J"}) {
            if (name.compare(QByteArrayView(sjis), Qt::CaseInsensitive) == 0)
                return CodePage::Cp932;
        }
    }
    return CodePage::Utf8;
}

CodePage systemCodePage()
{
    return g_codePage.load();
}

void setSystemCodePage(CodePage codePage)
{
    g_codePage.store(codePage);
}

qsizetype charLength(const QByteArray& bytes, qsizetype index)
{
    if (systemCodePage() == CodePage::Cp932)
        return isCp932PairAt(bytes, index) ? 2 : 1;
    return std::max<qsizetype>(1, utf8Length(bytes, index));
}

QString toUtf16(const QByteArray& bytes)
{
    if (systemCodePage() == CodePage::Utf8)
        return decodeUtf8(bytes);
    const Cp932 cp932;
    return cp932.isValid() ? cp932.decode(bytes) : escapeHighBytes(bytes);
}

QByteArray fromUtf16(const QString& text)
{
    if (systemCodePage() == CodePage::Utf8)
        return encodeUtf8(text);
    const Cp932 cp932;
    return cp932.isValid() ? cp932.encode(text) : encodeUtf8(text);
}

QString displayText(const QByteArray& bytes)
{
    const QString text = toUtf16(bytes);
    if (!hasEscapes(text))
        return text;
    const Cp932 cp932;
    QString shiftJis;
    if (cp932.isValid() && cp932.decodeStrict(bytes.constData(), bytes.size(), shiftJis))
        return shiftJis;
    return replaceEscapes(text);
}

} // namespace tovilo
