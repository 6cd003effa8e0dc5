#include "protocol/MediaIdentity.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace tovilo {

namespace {

using Text = std::u32string;
constexpr size_t npos = Text::npos;

// Invalid UTF-8 (a name in another code page) reads as nothing: no name beats a wrong one.
std::optional<Text> decode(std::string_view bytes)
{
    Text text;
    for (size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int length = lead < 0x80         ? 1
                           : (lead >> 5) == 6  ? 2
                           : (lead >> 4) == 14 ? 3
                           : (lead >> 3) == 30 ? 4
                                               : 0;
        if (length == 0 || i + static_cast<size_t>(length) > bytes.size())
            return std::nullopt;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
            if ((next >> 6) != 2)
                return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        text += c;
        i += static_cast<size_t>(length);
    }
    return text;
}

std::string encode(const Text& text)
{
    std::string bytes;
    for (const char32_t c : text) {
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

bool isDigit(char32_t c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAlnum(char32_t c)
{
    return isDigit(c) || isLetter(c);
}

char32_t lower(char32_t c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

Text lowered(Text text)
{
    std::transform(text.begin(), text.end(), text.begin(), lower);
    return text;
}

bool isSeparator(char32_t c)
{
    return c == ' ' || c == '-' || c == '_' || c == '.' || c == ':' || c == '~' || c == U'～' ||
           c == '|' || c == '/' || c == ',';
}

Text trimmed(const Text& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isSeparator(text[begin]))
        ++begin;
    while (end > begin && isSeparator(text[end - 1]))
        --end;
    Text out;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] != ' ' || out.empty() || out.back() != ' ')
            out += text[i];
    }
    return out;
}

// Full-width letters, digits and signs as their ASCII selves; the marks recorders write as
// enclosed ideographs (🈑 for 字) go.
Text normalised(const Text& text)
{
    Text out;
    for (char32_t c : text) {
        if (c >= 0xFF01 && c <= 0xFF5E)
            c -= 0xFEE0;
        else if (c == 0x3000 || c == '\t')
            c = ' ';
        else if (c == U'♯')
            c = '#';
        else if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212)
            c = '-';
        else if (c == U'〔')
            c = '[';
        else if (c == U'〕')
            c = ']';
        else if (c >= 0x1F100 && c <= 0x1F2FF)
            continue;
        out += c;
    }
    return out;
}

// Reads up to `most` digits; 0 when fewer than `least`.
size_t readNumber(const Text& s, size_t at, size_t least, size_t most, int& value)
{
    size_t n = 0;
    value = 0;
    while (at + n < s.size() && isDigit(s[at + n]) && n < most)
        value = value * 10 + static_cast<int>(s[at + n++] - '0');
    // A longer run of digits is another number.
    if (n < least || (at + n < s.size() && isDigit(s[at + n])))
        return 0;
    return n;
}

// 十二, 二十三, 百, 一〇: the numbers titles write in kanji.
size_t readKanjiNumber(const Text& s, size_t at, int& value)
{
    static const Text digits = U"〇一二三四五六七八九";
    value = 0;
    int current = 0;
    size_t n = 0;
    for (; at + n < s.size(); ++n) {
        const char32_t c = s[at + n];
        const size_t digit = digits.find(c);
        if (digit != npos)
            current = current * 10 + static_cast<int>(digit);
        else if (c == U'零')
            current *= 10;
        else if (c == U'十' || c == U'百' || c == U'千') {
            value += std::max(current, 1) * (c == U'十' ? 10 : c == U'百' ? 100 : 1000);
            current = 0;
        } else {
            break;
        }
    }
    value += current;
    return n;
}

size_t matchWord(const Text& s, size_t at, std::u32string_view word)
{
    if (s.size() - std::min(at, s.size()) < word.size())
        return 0;
    for (size_t i = 0; i < word.size(); ++i) {
        if (lower(s[at + i]) != word[i])
            return 0;
    }
    return word.size();
}

size_t skipSpaces(const Text& s, size_t at)
{
    while (at < s.size() && s[at] == ' ')
        ++at;
    return at;
}

bool boundaryBefore(const Text& s, size_t at)
{
    return at == 0 || !isAlnum(s[at - 1]);
}

// After a number: nothing that would make it part of a longer word; "v2" (a re-release) and
// another "E03" (a double episode) may follow.
bool boundaryAfter(const Text& s, size_t at)
{
    if (at >= s.size() || !isAlnum(s[at]))
        return true;
    return (lower(s[at]) == 'v' || lower(s[at]) == 'e') && at + 1 < s.size() && isDigit(s[at + 1]);
}

bool isYear(int value)
{
    return value >= 1900 && value <= 2099;
}

struct Marker
{
    size_t begin = npos;
    size_t end = npos;
    int season = 0; // 0 when the marker names none
    int episode = 0;
    bool bare = false; // " - 02": its text is the number alone
};

// "S01E02", "s1e2", "S01 E02", "S01E02E03", "Season 1 Episode 2".
size_t seasonEpisode(const Text& s, size_t at, Marker& m)
{
    if (!boundaryBefore(s, at))
        return 0;
    size_t i = at;
    const size_t season = matchWord(s, i, U"season");
    i += season ? season : matchWord(s, i, U"s");
    if (i == at)
        return 0;
    const size_t digits = readNumber(s, season ? skipSpaces(s, i) : i, 1, 2, m.season);
    if (!digits)
        return 0;
    i = (season ? skipSpaces(s, i) : i) + digits;
    i = skipSpaces(s, i);
    if (i < s.size() && (s[i] == '-' || s[i] == '_'))
        i = skipSpaces(s, i + 1);
    size_t e = matchWord(s, i, U"episode");
    if (!e)
        e = matchWord(s, i, U"ep");
    const bool spelled = e > 0;
    if (!e)
        e = matchWord(s, i, U"e");
    if (!e)
        return 0;
    i += e;
    if (spelled) {
        if (i < s.size() && s[i] == '.')
            ++i;
        i = skipSpaces(s, i);
    }
    const size_t n = readNumber(s, i, 1, 3, m.episode);
    if (!n)
        return 0;
    i += n;
    // The first of a double episode counts.
    int more = 0;
    while (i + 1 < s.size() && lower(s[i]) == 'e' && readNumber(s, i + 1, 1, 3, more))
        i += 1 + readNumber(s, i + 1, 1, 3, more);
    return boundaryAfter(s, i) ? i - at : 0;
}

// "1x02".
size_t crossed(const Text& s, size_t at, Marker& m)
{
    if (!boundaryBefore(s, at))
        return 0;
    const size_t season = readNumber(s, at, 1, 2, m.season);
    if (!season || at + season >= s.size() || lower(s[at + season]) != 'x')
        return 0;
    const size_t n = readNumber(s, at + season + 1, 2, 3, m.episode);
    return n && boundaryAfter(s, at + season + 1 + n) ? season + 1 + n : 0;
}

// 第2話, 第02話, 第十二話.
size_t japanese(const Text& s, size_t at, Marker& m)
{
    if (s[at] != U'第')
        return 0;
    const size_t i = skipSpaces(s, at + 1);
    size_t n = readNumber(s, i, 1, 4, m.episode);
    if (!n)
        n = readKanjiNumber(s, i, m.episode);
    const size_t end = skipSpaces(s, i + n);
    return n && end < s.size() && s[end] == U'話' ? end + 1 - at : 0;
}

// "#02", "＃02", "♯2"; the number right after the sign ("C# 101" is no episode).
size_t hashed(const Text& s, size_t at, Marker& m)
{
    if (s[at] != '#')
        return 0;
    const size_t n = readNumber(s, at + 1, 1, 4, m.episode);
    return n && boundaryAfter(s, at + 1 + n) ? n + 1 : 0;
}

// "Ep02", "EP.2", "Episode 2", "E02".
size_t spelledOut(const Text& s, size_t at, Marker& m)
{
    if (!boundaryBefore(s, at))
        return 0;
    size_t word = matchWord(s, at, U"episode");
    if (!word)
        word = matchWord(s, at, U"ep");
    size_t i = at + word;
    if (word) {
        if (i < s.size() && s[i] == '.')
            ++i;
        i = skipSpaces(s, i);
    } else if (matchWord(s, at, U"e")) {
        ++i;
    } else {
        return 0;
    }
    const size_t n = readNumber(s, i, word ? 1 : 2, word ? 4 : 3, m.episode);
    return n && boundaryAfter(s, i + n) ? i + n - at : 0;
}

// "Show - 02": a dash between blanks, then the number alone.
size_t dashed(const Text& s, size_t at, Marker& m)
{
    if (s[at] != '-' || at == 0 || s[at - 1] != ' ')
        return 0;
    const size_t i = skipSpaces(s, at + 1);
    const size_t n = readNumber(s, i, 1, 4, m.episode);
    if (!n || !boundaryAfter(s, i + n) || (n == 4 && isYear(m.episode)))
        return 0;
    m.bare = true;
    return i + n - at;
}

std::optional<Marker> findMarker(const Text& s)
{
    using Matcher = size_t (*)(const Text&, size_t, Marker&);
    static constexpr std::array<Matcher, 6> matchers = {seasonEpisode, crossed,    japanese,
                                                        hashed,        spelledOut, dashed};
    for (size_t at = 0; at < s.size(); ++at) {
        for (const Matcher matcher : matchers) {
            Marker m;
            const size_t length = matcher(s, at, m);
            if (length == 0)
                continue;
            m.begin = at;
            m.end = at + length;
            // "12v2": a release's second version of the episode.
            if (m.end + 1 < s.size() && lower(s[m.end]) == 'v' && isDigit(s[m.end + 1]))
                m.end += 2;
            return m;
        }
    }
    return std::nullopt;
}

// Release tags: resolution, codecs, sound, source. What follows the first of them is no title.
bool isReleaseTag(Text word)
{
    word = lowered(std::move(word));
    static const std::array<std::u32string_view, 44> tags = {
        U"4k",     U"8k",     U"uhd",    U"fhd",   U"x264",  U"x265",   U"h264",  U"h265",
        U"hevc",   U"avc",    U"xvid",   U"divx",  U"av1",   U"vp9",    U"10bit", U"8bit",
        U"hi10p",  U"aac",    U"ac3",    U"eac3",  U"dts",   U"flac",   U"mp3",   U"opus",
        U"truehd", U"atmos",  U"ddp5.1", U"dd5.1", U"5.1",   U"2.0",    U"7.1",   U"bluray",
        U"bdrip",  U"brrip",  U"bd",     U"web",   U"webdl", U"webrip", U"hdtv",  U"dvdrip",
        U"remux",  U"repack", U"proper", U"aac2.0"};
    if (std::find(tags.begin(), tags.end(), word) != tags.end())
        return true;
    // 480p, 720p, 1080i, 2160p
    return word.size() >= 4 && word.size() <= 5 && (word.back() == 'p' || word.back() == 'i') &&
           std::all_of(word.begin(), word.end() - 1, isDigit);
}

// Where the first release tag at or after `from` starts; npos for none.
size_t releaseTagAt(const Text& s, size_t from)
{
    size_t at = from;
    while (at < s.size()) {
        while (at < s.size() && (s[at] == ' ' || s[at] == '-' || s[at] == '+'))
            ++at;
        size_t end = at;
        while (end < s.size() && s[end] != ' ' && s[end] != '-' && s[end] != '+')
            ++end;
        if (end > at && isReleaseTag(s.substr(at, end - at)))
            return at;
        // "WEB-DL", "Blu-ray": two halves of one tag.
        if (end < s.size() && s[end] == '-' && at < end) {
            const Text low = lowered(s.substr(at, std::min(s.size(), end + 4) - at));
            if (low == U"web-dl" || low.starts_with(U"blu-ray"))
                return at;
        }
        at = end;
    }
    return npos;
}

// A name as the markers are looked for in it: signs normalised, the brackets of release groups,
// release tags and broadcast marks taken out, dots and underscores read as blanks.
struct Cleaned
{
    Text text;
    std::string date; // from a recorder's name
    int year = 0;     // "(2001)"
};

bool isBroadcastMark(const Text& content)
{
    return !content.empty() && content.size() <= 2 &&
           std::none_of(content.begin(), content.end(), [](char32_t c) { return c < 0x80; });
}

bool isNumber(const Text& content, int& value)
{
    size_t n = readNumber(content, 0, 1, 4, value);
    if (n && n + 2 == content.size() && lower(content[n]) == 'v' && isDigit(content[n + 1]))
        n = content.size();
    return n != 0 && n == content.size();
}

// "[Group][Show][02][1080p]": the name is all brackets; the show and the number are two of them.
Text unwrapBrackets(const Text& s)
{
    Text out;
    size_t at = 0;
    bool first = true;
    while (at < s.size()) {
        const size_t close = s.find(']', at);
        if (s[at] != '[' || close == npos)
            break;
        const Text content = s.substr(at + 1, close - at - 1);
        at = skipSpaces(s, close + 1);
        int number = 0;
        if (first) {
            first = false;
        } else if (isNumber(content, number) && !isYear(number)) {
            return out + U" - " + content;
        } else {
            out += content + U" ";
        }
    }
    return s;
}

Cleaned clean(const Text& stem)
{
    Cleaned cleaned;
    Text s = normalised(stem);
    // 20241005_2300_番組名: a recorder's air date and time.
    int date = 0;
    int time = 0;
    if (readNumber(s, 0, 8, 8, date) && s.size() > 9 && (s[8] == '_' || s[8] == ' ')) {
        const int month = date / 100 % 100;
        const int day = date % 100;
        size_t rest = 9;
        if (const size_t n = readNumber(s, rest, 4, 6, time);
            n && rest + n < s.size() && (s[rest + n] == '_' || s[rest + n] == ' '))
            rest += n + 1;
        if (isYear(date / 10000) && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
            rest < s.size()) {
            const std::string digits = std::to_string(date);
            cleaned.date = digits.substr(0, 4) + '-' + digits.substr(4, 2) + '-' + digits.substr(6);
            s.erase(0, rest);
        }
    }
    // The whole name in brackets: take them apart first.
    if (s.starts_with(U"[")) {
        Text outside;
        for (size_t at = 0; at < s.size();) {
            const size_t close = s[at] == '[' ? s.find(']', at) : npos;
            if (close == npos)
                outside += s[at++];
            else
                at = close + 1;
        }
        if (trimmed(outside).empty())
            s = unwrapBrackets(s);
    }
    // A bracket leaves a mark of its own, not a blank: whether the name has blanks of its own
    // decides how its dots are read.
    constexpr char32_t gap = 1;
    Text out;
    for (size_t at = 0; at < s.size(); ++at) {
        const char32_t open = s[at];
        const char32_t closer = open == '[' ? ']' : open == '(' ? ')' : open == U'【' ? U'】' : 0;
        const size_t close = closer ? s.find(closer, at + 1) : npos;
        if (close == npos) {
            out += s[at];
            continue;
        }
        const Text content = s.substr(at + 1, close - at - 1);
        int number = 0;
        const bool numbered = isNumber(content, number);
        if (open == '[' && numbered && !isYear(number)) {
            out += Text{gap, '-', gap} + content + gap;
        } else if (open == '(' && numbered && isYear(number) && content.size() == 4) {
            cleaned.year = number;
            out += gap;
        } else if (open == '(' && !numbered && !isBroadcastMark(content) &&
                   releaseTagAt(content, 0) == npos) {
            out += s.substr(at, close + 1 - at); // "(Director's Cut)" belongs to the title
        } else {
            out += gap;
        }
        at = close;
    }
    // Dotted or underscored names ("Show.Name.S01E02.720p"), but not "5.1" or "H.264".
    const bool blanks = out.find(' ') != npos;
    for (size_t i = 0; i < out.size(); ++i) {
        const bool between = i > 0 && i + 1 < out.size() && isDigit(out[i + 1]) &&
                             (isDigit(out[i - 1]) || lower(out[i - 1]) == 'h');
        if (out[i] == gap || (!blanks && (out[i] == '_' || (out[i] == '.' && !between))))
            out[i] = ' ';
    }
    cleaned.text = out;
    return cleaned;
}

// The name before the first release tag, if anything stands before it.
Text beforeReleaseTags(const Text& s)
{
    const size_t tag = releaseTagAt(s, 0);
    const Text before = tag == npos ? s : s.substr(0, tag);
    return trimmed(before).empty() ? s : before;
}

// "Show 02" at the end of a name: the show and the number.
std::optional<std::pair<Text, int>> trailingNumber(const Text& name)
{
    const Text s = trimmed(beforeReleaseTags(name));
    size_t at = s.size();
    while (at > 0 && isDigit(s[at - 1]))
        --at;
    int number = 0;
    if (at == s.size() || s.size() - at > 3 || at == 0 || s[at - 1] != ' ' ||
        !readNumber(s, at, 1, 3, number))
        return std::nullopt;
    const Text before = trimmed(s.substr(0, at));
    size_t word = before.rfind(' ');
    word = word == npos ? 0 : word + 1;
    static const std::array<std::u32string_view, 8> notEpisodes = {
        U"part", U"pt", U"vol", U"volume", U"cd", U"disc", U"disk", U"no"};
    const Text last = lowered(before.substr(word));
    if (before.empty() ||
        std::find(notEpisodes.begin(), notEpisodes.end(), last) != notEpisodes.end())
        return std::nullopt;
    return std::pair{lowered(before), number};
}

Text stemOf(const Text& name)
{
    const size_t dot = name.rfind('.');
    if (dot == npos || dot == 0 || name.size() - dot > 6)
        return name;
    const bool extension =
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(), isAlnum);
    return extension ? name.substr(0, dot) : name;
}

// IMG_1234, MVI_0001, DSC01234, PXL_20240101_123456789, 20240101_123456, 01: names a camera or
// phone gives, kept as they are.
bool isDeviceName(const Text& stem)
{
    static const std::array<std::u32string_view, 20> prefixes = {
        U"img", U"vid", U"mvi", U"mov", U"dsc", U"dscf", U"dscn", U"gopr", U"gh",  U"gx",
        U"dji", U"pxl", U"mah", U"c",   U"p",   U"cimg", U"pict", U"sany", U"rec", U"video"};
    size_t letters = 0;
    while (letters < stem.size() && isLetter(stem[letters]))
        ++letters;
    const Text prefix = lowered(stem.substr(0, letters));
    if (letters > 0 && std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end())
        return false;
    size_t i = letters;
    if (i < stem.size() && (stem[i] == '_' || stem[i] == '-'))
        ++i;
    if (i >= stem.size() || !isDigit(stem[i]))
        return false;
    return std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(i), stem.end(),
                       [](char32_t c) { return isDigit(c) || c == '_' || c == '-' || c == ' '; });
}

// What follows the marker: a title in 「」 or 『』, or the words up to the release tags.
Text episodeTitle(const Text& rest)
{
    const Text s = trimmed(rest);
    if (!s.empty() && (s[0] == U'「' || s[0] == U'『')) {
        const size_t close = s.find(s[0] == U'「' ? U'」' : U'』');
        return trimmed(s.substr(1, close == npos ? npos : close - 1));
    }
    const size_t tag = releaseTagAt(s, 0);
    return trimmed(tag == npos ? s : s.substr(0, tag));
}

} // namespace

MediaIdentity identityFromName(std::string_view fileName,
                               const std::vector<std::string>& neighbours)
{
    MediaIdentity identity;
    const std::optional<Text> name = decode(fileName);
    if (!name)
        return identity;
    const Text stem = stemOf(*name);
    if (stem.empty() || isDeviceName(stem)) {
        identity.title = encode(stem);
        return identity;
    }
    const Cleaned cleaned = clean(stem);
    const Text& s = cleaned.text;
    identity.date = cleaned.date;
    std::optional<Marker> marker = findMarker(s);
    if (!marker) {
        // A bare number at the end counts beside other numbers of the same show.
        if (const auto own = trailingNumber(s)) {
            for (const std::string& other : neighbours) {
                const std::optional<Text> otherName = decode(other);
                if (!otherName || *otherName == *name)
                    continue;
                const auto theirs = trailingNumber(clean(stemOf(*otherName)).text);
                if (theirs && theirs->first == own->first && theirs->second != own->second) {
                    const Text head = beforeReleaseTags(s);
                    size_t end = head.size();
                    while (end > 0 && isSeparator(head[end - 1]))
                        --end;
                    size_t at = end;
                    while (at > 0 && isDigit(head[at - 1]))
                        --at;
                    marker = Marker{at, end, 0, own->second, true};
                    break;
                }
            }
        }
    }
    Text show = marker ? trimmed(s.substr(0, marker->begin)) : Text();
    // 番組名「サブタイトル」第3話: the title stands before the number.
    Text titleBefore;
    if (const size_t quote = show.find(U'「'); quote != npos && quote > 0) {
        titleBefore = episodeTitle(show.substr(quote));
        show = trimmed(show.substr(0, quote));
    }
    if (!marker || show.empty()) {
        Text title = trimmed(beforeReleaseTags(s));
        // "Film.Title.2001.1080p": the year before the tags is the release's.
        const size_t space = title.rfind(' ');
        int year = 0;
        if (releaseTagAt(s, 0) != npos && space != npos &&
            readNumber(title, space + 1, 4, 4, year) && isYear(year)) {
            title = trimmed(title.substr(0, space));
            identity.date = identity.date.empty() ? std::to_string(year) : identity.date;
        }
        if (cleaned.year && identity.date.empty())
            identity.date = std::to_string(cleaned.year);
        identity.title = encode(title.empty() ? stem : title);
        return identity;
    }
    identity.kind = MediaIdentity::Kind::Episode;
    identity.show = encode(show);
    identity.season = marker->season > 0 ? marker->season : 1;
    identity.episode = marker->episode;
    const Text written = trimmed(s.substr(marker->begin, marker->end - marker->begin));
    if (marker->bare) {
        identity.episodeId = encode(trimmed(written.substr(written.rfind(' ') + 1)));
    } else if (marker->season > 0) {
        char id[32];
        std::snprintf(id, sizeof id, "S%02dE%02d", identity.season, identity.episode);
        identity.episodeId = id;
    } else {
        identity.episodeId = encode(written);
    }
    const Text title = episodeTitle(s.substr(marker->end));
    identity.title = encode(title.empty() ? titleBefore : title);
    return identity;
}

namespace {

std::string tag(const MediaTags& tags, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const auto it = tags.find(key);
        if (it != tags.end() && !it->second.empty())
            return it->second;
    }
    return {};
}

int number(const std::string& text)
{
    int value = 0;
    const Text digits(text.begin(), text.end());
    // "3/12" as a track or episode count is 3.
    return readNumber(digits, 0, 1, 4, value) ? value : -1;
}

} // namespace

MediaIdentity identify(const MediaTags& tags, std::string_view fileName,
                       const std::vector<std::string>& neighbours, bool music)
{
    const std::string title = tag(tags, {"title"});
    const std::string date = tag(tags, {"date"});
    if (music) {
        MediaIdentity identity;
        identity.kind = MediaIdentity::Kind::Music;
        const std::optional<Text> name = decode(fileName);
        identity.title = !title.empty() ? title : name ? encode(stemOf(*name)) : std::string();
        identity.artist = tag(tags, {"artist", "album_artist"});
        identity.album = tag(tags, {"album"});
        identity.date = date;
        return identity;
    }
    MediaIdentity identity = identityFromName(fileName, neighbours);
    const int mediaType = number(tag(tags, {"media_type"}));
    const std::string show = tag(tags, {"show", "tvshow", "series"});
    const int season = number(tag(tags, {"season_number", "season"}));
    const int episode = number(tag(tags, {"episode_sort", "episode", "episode_number"}));
    const std::string episodeId = tag(tags, {"episode_id"});
    if (mediaType == TvShowMediaType || (!show.empty() && episode >= 0)) {
        const bool named = identity.kind == MediaIdentity::Kind::Episode;
        identity.kind = MediaIdentity::Kind::Episode;
        identity.show = !show.empty() ? show : identity.show;
        identity.season = season >= 0 ? season : named ? identity.season : 1;
        identity.episode = episode >= 0 ? episode : named ? identity.episode : 0;
        identity.episodeId = !episodeId.empty() ? episodeId : named ? identity.episodeId : "";
        identity.title = !title.empty() ? title : named ? identity.title : "";
        if (identity.show.empty()) { // a TV type without a show is filed as a film
            identity.kind = MediaIdentity::Kind::Film;
            identity.season = identity.episode = 0;
            identity.episodeId.clear();
        }
    } else if (mediaType == MovieMediaType || mediaType == 0) {
        MediaIdentity film;
        film.title = !title.empty() ? title : listedTitle(identity);
        film.date = identity.date;
        identity = film;
    } else if (identity.kind == MediaIdentity::Kind::Film && !title.empty()) {
        // A title tag beside a name that says episode is most often the release's own name.
        identity.title = title;
    }
    if (!date.empty())
        identity.date = date;
    return identity;
}

std::string listedTitle(const MediaIdentity& identity)
{
    if (identity.kind != MediaIdentity::Kind::Episode || !identity.title.empty())
        return identity.title;
    return identity.episodeId.empty() ? identity.show : identity.show + ' ' + identity.episodeId;
}

std::vector<std::pair<std::string, std::string>> identityTags(const MediaIdentity& identity)
{
    std::vector<std::pair<std::string, std::string>> tags;
    const auto add = [&tags](const char* key, const std::string& value) {
        if (!value.empty())
            tags.emplace_back(key, value);
    };
    add("title", listedTitle(identity));
    switch (identity.kind) {
    case MediaIdentity::Kind::Episode:
        add("show", identity.show);
        add("season_number", std::to_string(identity.season));
        add("episode_sort", std::to_string(identity.episode));
        add("episode_id", identity.episodeId);
        add("media_type", std::to_string(TvShowMediaType));
        break;
    case MediaIdentity::Kind::Film:
        add("media_type", std::to_string(MovieMediaType));
        break;
    case MediaIdentity::Kind::Music:
        add("artist", identity.artist);
        add("album", identity.album);
        add("media_type", std::to_string(MusicMediaType));
        break;
    }
    add("date", identity.date);
    return tags;
}

std::string chapterName(int number)
{
    return "チャプター " + std::to_string(number);
}

std::vector<MediaChapter> chaptersFrom(std::vector<MediaChapter> chapters, double offset)
{
    std::stable_sort(
        chapters.begin(), chapters.end(),
        [](const MediaChapter& a, const MediaChapter& b) { return a.start < b.start; });
    std::vector<MediaChapter> kept;
    for (size_t i = 0; i < chapters.size(); ++i) {
        MediaChapter chapter = chapters[i];
        if (chapter.end <= chapter.start) // no end given: the next one's start
            chapter.end = i + 1 < chapters.size() ? chapters[i + 1].start : chapter.start;
        if (chapter.title.empty())
            chapter.title = chapterName(static_cast<int>(i) + 1);
        chapter.start -= offset;
        chapter.end -= offset;
        if (chapter.end <= 0 && i + 1 < chapters.size())
            continue;
        // Only the last of those begun before the cut is playing at its start.
        if (chapter.start <= 0 && !kept.empty() && kept.back().start <= 0)
            kept.pop_back();
        chapter.start = std::max(chapter.start, 0.0);
        chapter.end = std::max(chapter.end, chapter.start);
        kept.push_back(chapter);
    }
    return kept;
}

} // namespace tovilo
