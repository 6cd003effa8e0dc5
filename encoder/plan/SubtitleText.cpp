#include "encoder/plan/SubtitleText.h"

#include "protocol/Utf8.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <vector>

namespace tovilo {

namespace {

bool isUtf8(std::string_view text)
{
    for (size_t i = 0, n; i < text.size(); i += n) {
        if ((n = utf8SequenceAt(text.substr(i))) == 0)
            return false;
    }
    return true;
}

bool isAscii(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// Appends the well-formed part of text to out; returns how many bytes were passed over.
size_t utf8Part(std::string_view text, std::string& out)
{
    size_t lost = 0;
    for (size_t i = 0, n; i < text.size(); i += n ? n : 1) {
        n = utf8SequenceAt(text.substr(i));
        out.append(text.substr(i, n));
        lost += n == 0;
    }
    return lost;
}

// One iconv conversion to UTF-8, opened once for a whole file.
class Decoder
{
public:
    explicit Decoder(const char* from) : m_cd(::iconv_open("UTF-8", from)) {}
    ~Decoder()
    {
        if (isOpen())
            ::iconv_close(m_cd);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool isOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Appends bytes as UTF-8 to out, passing over the units that do not decode; returns how
    // many bytes were passed over.
    size_t decode(std::string_view bytes, size_t unit, std::string& out)
    {
        ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        size_t lost = 0;
        char* in = const_cast<char*>(bytes.data());
        size_t inLeft = bytes.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t result = ::iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
            const int error = errno;
            out.append(buffer, sizeof buffer - outLeft);
            if (result != static_cast<size_t>(-1) || error == E2BIG)
                continue;
            const size_t skip = error == EILSEQ ? std::min(unit, inLeft) : inLeft;
            in += skip;
            inLeft -= skip;
            lost += skip;
        }
        return lost;
    }

    // Whether bytes decode whole, without keeping the text.
    bool decodes(std::string_view bytes)
    {
        std::string ignored;
        return decode(bytes, 1, ignored) == 0;
    }

private:
    iconv_t m_cd;
};

// UTF-16 without a mark: most characters of a subtitle file (digits, time codes, line ends)
// have a zero high byte.
const char* utf16Order(std::string_view bytes)
{
    size_t evenZeros = 0;
    size_t oddZeros = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        evenZeros += bytes[i] == '\0';
        oddZeros += bytes[i + 1] == '\0';
    }
    const size_t pairs = bytes.size() / 2;
    if (pairs == 0)
        return nullptr;
    if (oddZeros * 3 > pairs && evenZeros * 10 < pairs)
        return "UTF-16LE";
    if (evenZeros * 3 > pairs && oddZeros * 10 < pairs)
        return "UTF-16BE";
    return nullptr;
}

std::optional<SubtitleText> fromUtf16(std::string_view bytes, const char* order, std::string& why)
{
    Decoder decoder(order);
    if (!decoder.isOpen()) {
        why = std::string("no converter from ") + order;
        return std::nullopt;
    }
    SubtitleText text;
    text.damagedLines = decoder.decode(bytes, 2, text.utf8) > 0;
    return text;
}

std::vector<std::string_view> linesOf(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
        lines.push_back(bytes.substr(0, length));
        bytes.remove_prefix(length);
    }
    return lines;
}

} // namespace

std::optional<SubtitleText> subtitleTextAsUtf8(std::string_view bytes, std::string& why)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    else if (bytes.substr(0, 2) == "\xFF\xFE")
        return fromUtf16(bytes.substr(2), "UTF-16LE", why);
    else if (bytes.substr(0, 2) == "\xFE\xFF")
        return fromUtf16(bytes.substr(2), "UTF-16BE", why);
    else if (const char* order = utf16Order(bytes))
        return fromUtf16(bytes, order, why);
    if (bytes.find('\0') != std::string_view::npos) {
        why = "the file holds no text";
        return std::nullopt;
    }
    Decoder shiftJis("CP932");
    if (!shiftJis.isOpen()) {
        why = "no converter from CP932";
        return std::nullopt;
    }

    // Lines that are ASCII read the same in both; the others vote.
    const std::vector<std::string_view> lines = linesOf(bytes);
    std::vector<char> utf8(lines.size());
    std::vector<char> cp932(lines.size());
    size_t utf8Votes = 0;
    size_t cp932Votes = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (isAscii(lines[i]))
            continue;
        utf8Votes += utf8[i] = isUtf8(lines[i]);
        cp932Votes += cp932[i] = shiftJis.decodes(lines[i]);
    }
    const bool mostlyCp932 = cp932Votes > utf8Votes;

    SubtitleText text;
    text.utf8.reserve(bytes.size() * 3 / 2);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (isAscii(line) || (utf8[i] && (!mostlyCp932 || !cp932[i]))) {
            text.utf8.append(line);
        } else if (cp932[i]) {
            shiftJis.decode(line, 1, text.utf8);
        } else {
            // Damaged in both: read in the one that loses less of it.
            ++text.damagedLines;
            std::string asUtf8;
            std::string asCp932;
            const size_t utf8Lost = utf8Part(line, asUtf8);
            const size_t cp932Lost = shiftJis.decode(line, 1, asCp932);
            const bool cp932Better = cp932Lost < utf8Lost || (cp932Lost == utf8Lost && mostlyCp932);
            text.utf8 += cp932Better ? asCp932 : asUtf8;
        }
    }
    size_t filled = 0;
    for (const std::string_view line : lines)
        filled += line.find_first_not_of(" \t\r\n") != std::string_view::npos;
    if (static_cast<size_t>(text.damagedLines) * 2 > filled) {
        why = "the text is neither UTF-8, UTF-16 nor Shift-JIS";
        return std::nullopt;
    }
    return text;
}

} // namespace tovilo
