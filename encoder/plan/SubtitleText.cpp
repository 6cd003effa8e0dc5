#include "encoder/plan/SubtitleText.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace tovilo {

namespace {

bool isUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        int follow = 0;
        if (byte < 0x80)
            follow = 0;
        else if (byte >= 0xC2 && byte <= 0xDF)
            follow = 1;
        else if (byte >= 0xE0 && byte <= 0xEF)
            follow = 2;
        else if (byte >= 0xF0 && byte <= 0xF4)
            follow = 3;
        else
            return false;
        if (i + static_cast<size_t>(follow) >= text.size())
            return false;
        for (int k = 1; k <= follow; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += static_cast<size_t>(follow) + 1;
    }
    return true;
}

std::optional<std::string> convert(std::string_view bytes, const char* from, std::string& why)
{
    const iconv_t cd = ::iconv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        why = std::string("no converter from ") + from;
        return std::nullopt;
    }
    std::string out(bytes.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t done = 0;
    bool ok = true;
    while (inLeft > 0) {
        char* outPtr = out.data() + done;
        size_t outLeft = out.size() - done;
        const size_t result = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        done = out.size() - outLeft;
        if (result != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        ok = false;
        break;
    }
    ::iconv_close(cd);
    if (!ok) {
        why = std::string("the text is neither UTF-8, UTF-16 nor ") + from;
        return std::nullopt;
    }
    out.resize(done);
    return out;
}

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

} // namespace

std::optional<std::string> subtitleTextAsUtf8(std::string_view bytes, std::string& why)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    else if (bytes.substr(0, 2) == "\xFF\xFE")
        return convert(bytes.substr(2), "UTF-16LE", why);
    else if (bytes.substr(0, 2) == "\xFE\xFF")
        return convert(bytes.substr(2), "UTF-16BE", why);
    else if (const char* order = utf16Order(bytes))
        return convert(bytes, order, why);
    if (isUtf8(bytes))
        return std::string(bytes);
    return convert(bytes, "CP932", why);
}

} // namespace tovilo
