#include "platform/CodePage.h"

#include <QByteArrayView>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <memory>
#include <string_view>

namespace tovilo {

namespace {

// UTF-8 until the program has read its locale (see detectSystemCodePage).
std::atomic<CodePage> g_codePage{CodePage::Utf8};

// Converts a whole buffer with iconv; unconvertible bytes become '?' so nothing is cut off.
QByteArray convert(const char* to, const char* from, const char* in, size_t inLeft, size_t unitSize)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QByteArray(in, static_cast<qsizetype>(inLeft));
    std::unique_ptr<void, int (*)(iconv_t)> guard(cd, iconv_close);

    QByteArray out;
    out.resize(static_cast<qsizetype>(inLeft * 2 + 16));
    char* inPtr = const_cast<char*>(in);
    size_t outLeft = static_cast<size_t>(out.size());
    char* outPtr = out.data();
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            const qsizetype used = outPtr - out.data();
            out.resize(out.size() * 2);
            outPtr = out.data() + used;
            outLeft = static_cast<size_t>(out.size() - used);
            continue;
        }
        // Invalid or incomplete input: skip one unit and write a replacement.
        size_t skip = std::min(unitSize, inLeft);
        if (unitSize == 2 && inLeft >= 4) {
            // A surrogate pair is one character: replace it once.
            const auto unit = static_cast<unsigned char>(inPtr[1]);
            if (unit >= 0xD8 && unit <= 0xDB)
                skip = 4;
        }
        inPtr += skip;
        inLeft -= skip;
        if (outLeft < 2) {
            const qsizetype used = outPtr - out.data();
            out.resize(out.size() * 2 + 4);
            outPtr = out.data() + used;
            outLeft = static_cast<size_t>(out.size() - used);
        }
        if (std::string_view(to) == "UTF-16LE") {
            *outPtr++ = '?';
            *outPtr++ = 0;
            outLeft -= 2;
        } else {
            *outPtr++ = '?';
            --outLeft;
        }
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(outPtr - out.data());
    return out;
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

bool isLeadByte(unsigned char byte)
{
    if (systemCodePage() != CodePage::Cp932)
        return false;
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

QString toUtf16(const QByteArray& bytes)
{
    if (systemCodePage() == CodePage::Utf8)
        return QString::fromUtf8(bytes);
    const QByteArray utf16 =
        convert("UTF-16LE", "CP932", bytes.constData(), static_cast<size_t>(bytes.size()), 1);
    return QString(reinterpret_cast<const QChar*>(utf16.constData()), utf16.size() / 2);
}

QByteArray fromUtf16(const QString& text)
{
    if (systemCodePage() == CodePage::Utf8)
        return text.toUtf8();
    return convert("CP932", "UTF-16LE", reinterpret_cast<const char*>(text.utf16()),
                   static_cast<size_t>(text.size()) * 2, 2);
}

} // namespace tovilo
