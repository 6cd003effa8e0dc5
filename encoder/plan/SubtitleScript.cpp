#include "encoder/plan/SubtitleScript.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <queue>
#include <vector>

namespace tovilo {

namespace {

// Measured with libass 0.17 at iPod sizes: a glyph a few thousand pixels tall takes seconds
// and gigabytes per frame, one the height of the picture a millisecond.
constexpr double kMaxScalePercent = 500;
constexpr double kMaxShear = 2;
constexpr double kDrawingPictures = 4; // drawing points within this many pictures of the origin
// Borders and shadows in video pixels when the script does not scale them: no more than a
// quarter of a 1080-line picture.
constexpr double kMaxBorderLines = 1080.0 / 4;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The length of a number as libass reads it (sign, digits, fraction, exponent) at the start of
// text; 0 for none.
size_t numberLength(std::string_view text)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    const size_t digitsFrom = i;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    size_t digits = i - digitsFrom;
    if (i < text.size() && text[i] == '.') {
        const size_t from = ++i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        digits += i - from;
    }
    if (digits == 0)
        return 0;
    if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (text[j] == '+' || text[j] == '-')
            ++j;
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

std::string numberText(double value)
{
    char text[48];
    if (value == std::floor(value))
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Seconds from "H:MM:SS.cc"; -1 when unreadable.
double timeOf(std::string_view text)
{
    text = trimmed(text);
    double seconds = 0;
    size_t at = 0;
    for (int part = 0; part < 3; ++part) {
        const size_t length = numberLength(text.substr(at));
        if (length == 0)
            return -1;
        seconds = seconds * 60 + std::strtod(std::string(text.substr(at, length)).c_str(), nullptr);
        at += length;
        if (part < 2 && (at >= text.size() || text[at++] != ':'))
            return -1;
    }
    return seconds;
}

// The fields of a "Style:" or "Dialogue:" line after its key: as many as the format names, the
// last taking the rest of the line (the text, which may hold commas).
std::vector<std::string_view> fieldsOf(std::string_view rest, size_t count)
{
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < count) {
        const size_t comma = rest.find(',');
        if (comma == std::string_view::npos)
            break;
        fields.push_back(rest.substr(0, comma));
        rest.remove_prefix(comma + 1);
    }
    fields.push_back(rest);
    return fields;
}

std::vector<std::string> formatOf(std::string_view rest)
{
    std::vector<std::string> names;
    for (std::string_view field : fieldsOf(rest, SIZE_MAX))
        names.push_back(lowered(trimmed(field)));
    return names;
}

int indexOf(const std::vector<std::string>& names, std::string_view name)
{
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

struct Line
{
    std::string_view text; // without its line end
    std::string_view end;
};

std::vector<Line> linesOf(std::string_view text)
{
    std::vector<Line> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        const size_t next = end == std::string_view::npos ? text.size() : end + 1;
        end = end == std::string_view::npos ? text.size() : end;
        if (end > 0 && text[end - 1] == '\r')
            --end;
        lines.push_back({text.substr(0, end), text.substr(end, next - end)});
        text.remove_prefix(next);
    }
    return lines;
}

class Bounder
{
public:
    Bounder(double resX, double resY, ScriptBounds& bounds) : m_resY(resY), m_bounds(bounds)
    {
        m_drawing = kDrawingPictures * std::min(resX, resY);
        m_border = std::min(resY, kMaxBorderLines);
    }

    // A number within -limit..limit, as it stood or brought to the limit.
    void number(std::string_view text, double limit, std::string& out)
    {
        const double value = std::strtod(std::string(text).c_str(), nullptr);
        if (std::fabs(value) <= limit) {
            out.append(text);
            return;
        }
        ++m_bounds.clamped;
        if (text.substr(text.find_first_not_of(" \t"), 1) == "+")
            out += '+'; // "\fs+N" grows the size by N
        out += numberText(std::copysign(limit, value));
    }

    // The limit of a style field or override tag; 0 when it has none.
    double limitOf(std::string_view name) const
    {
        if (name == "fs" || name == "fontsize")
            return m_resY;
        if (name == "fscx" || name == "fscy" || name == "scalex" || name == "scaley")
            return kMaxScalePercent;
        if (name == "bord" || name == "xbord" || name == "ybord" || name == "shad" ||
            name == "xshad" || name == "yshad" || name == "outline" || name == "shadow")
            return m_border;
        if (name == "fax" || name == "fay")
            return kMaxShear;
        return 0;
    }

    std::string style(std::string_view rest, const std::vector<std::string>& format)
    {
        std::string out;
        const std::vector<std::string_view> fields = fieldsOf(rest, format.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 0)
                out += ',';
            const double limit = i < format.size() ? limitOf(format[i]) : 0;
            const std::string_view value = trimmed(fields[i]);
            if (limit > 0 && !value.empty() && numberLength(value) == value.size())
                number(fields[i], limit, out);
            else
                out.append(fields[i]);
        }
        return out;
    }

    // An event's text: override tags and drawings within bounds.
    std::string text(std::string_view text)
    {
        std::string out;
        int drawingScale = 0;
        size_t i = 0;
        while (i < text.size()) {
            if (text[i] == '{') {
                const size_t close = text.find('}', i);
                const size_t end = close == std::string_view::npos ? text.size() : close;
                out += block(text.substr(i, end - i), drawingScale);
                i = end;
                continue;
            }
            const bool numberStart =
                isDigit(text[i]) ||
                ((text[i] == '-' || text[i] == '+' || text[i] == '.') && i + 1 < text.size() &&
                 (isDigit(text[i + 1]) || text[i + 1] == '.'));
            const size_t length = numberStart ? numberLength(text.substr(i)) : 0;
            if (drawingScale > 0 && length > 0) {
                number(text.substr(i, length),
                       m_drawing * std::ldexp(1.0, std::min(drawingScale, 30) - 1), out);
                i += length;
                continue;
            }
            out += text[i++];
        }
        return out;
    }

private:
    // One override block from its "{" to before its "}".
    std::string block(std::string_view text, int& drawingScale)
    {
        std::string out;
        size_t i = 0;
        while (i < text.size()) {
            if (text[i] != '\\') {
                out += text[i++];
                continue;
            }
            size_t nameEnd = i + 1;
            while (nameEnd < text.size() && isLetter(text[nameEnd]))
                ++nameEnd;
            const std::string_view name = text.substr(i + 1, nameEnd - i - 1);
            const size_t length = numberLength(text.substr(nameEnd));
            out.append(text.substr(i, nameEnd - i));
            i = nameEnd;
            if (length == 0)
                continue;
            const std::string_view value = text.substr(i, length);
            i += length;
            if (name == "p") {
                drawingScale = std::max(0, std::atoi(std::string(value).c_str()));
                out.append(value);
            } else if (const double limit = limitOf(name); limit > 0) {
                number(value, limit, out);
            } else {
                out.append(value);
            }
        }
        return out;
    }

    double m_resY;
    double m_drawing;
    double m_border;
    ScriptBounds& m_bounds;
};

struct Event
{
    double start;
    double end;
    size_t line;
};

// The events that would make more than kMaxSimultaneousEvents at once, later starts first.
std::vector<bool> crowdedLines(std::vector<Event> events, size_t lineCount)
{
    std::vector<bool> dropped(lineCount);
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.start < b.start; });
    std::priority_queue<double, std::vector<double>, std::greater<>> shownUntil;
    for (const Event& event : events) {
        while (!shownUntil.empty() && shownUntil.top() <= event.start)
            shownUntil.pop();
        if (event.end <= event.start)
            continue; // never shown
        if (shownUntil.size() >= static_cast<size_t>(kMaxSimultaneousEvents)) {
            dropped[event.line] = true;
            continue;
        }
        shownUntil.push(event.end);
    }
    return dropped;
}

} // namespace

bool isAssScript(std::string_view text)
{
    if (startsWith(text, "\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const size_t end = text.find('\n');
    return lowered(trimmed(text.substr(0, end))) == "[script info]";
}

std::string boundedScript(std::string_view text, ScriptBounds& bounds)
{
    const std::vector<Line> lines = linesOf(text);
    // The picture size the script is written for, which libass fills in as below when it is
    // not given.
    double resX = 0;
    double resY = 0;
    for (const Line& line : lines) {
        const std::string key = lowered(trimmed(line.text.substr(0, line.text.find(':'))));
        const double value =
            std::atof(std::string(line.text.substr(line.text.find(':') + 1)).c_str());
        if (key == "playresx" && line.text.find(':') != std::string_view::npos)
            resX = std::max(0.0, value);
        else if (key == "playresy" && line.text.find(':') != std::string_view::npos)
            resY = std::max(0.0, value);
    }
    if (resX == 0 && resY == 0) {
        resX = 384;
        resY = 288;
    } else if (resY == 0) {
        resY = resX == 1280 ? 1024 : resX * 3 / 4;
    } else if (resX == 0) {
        resX = resY == 1024 ? 1280 : resY * 4 / 3;
    }
    Bounder bounder(resX, resY, bounds);

    std::vector<std::string> out(lines.size());
    std::vector<Event> events;
    std::string section;
    std::vector<std::string> styleFormat = formatOf(
        "Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
        "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, "
        "Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding");
    std::vector<std::string> eventFormat =
        formatOf("Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text");
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i].text;
        out[i] = line;
        const std::string_view bare = trimmed(line);
        if (startsWith(bare, "[")) {
            section = lowered(bare);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string key = lowered(trimmed(line.substr(0, colon)));
        const std::string_view rest = line.substr(colon + 1);
        const std::string head(line.substr(0, colon + 1));
        const bool styles = section.find("styles") != std::string::npos;
        if (styles && key == "format") {
            styleFormat = formatOf(rest);
        } else if (styles && key == "style") {
            out[i] = head + bounder.style(rest, styleFormat);
        } else if (section == "[events]" && key == "format") {
            eventFormat = formatOf(rest);
        } else if (section == "[events]" && key == "dialogue") {
            std::vector<std::string_view> fields = fieldsOf(rest, eventFormat.size());
            const int start = indexOf(eventFormat, "start");
            const int end = indexOf(eventFormat, "end");
            const auto field = [&](int index) {
                return index >= 0 && static_cast<size_t>(index) < fields.size()
                           ? fields[static_cast<size_t>(index)]
                           : std::string_view();
            };
            events.push_back({timeOf(field(start)), timeOf(field(end)), i});
            std::string bounded = head;
            for (size_t f = 0; f + 1 < fields.size(); ++f)
                bounded.append(fields[f]).append(",");
            bounded += bounder.text(fields.back());
            out[i] = std::move(bounded);
        }
    }

    const std::vector<bool> dropped = crowdedLines(std::move(events), lines.size());
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        if (dropped[i]) {
            ++bounds.dropped;
            continue;
        }
        result.append(out[i]).append(lines[i].end);
    }
    return result;
}

} // namespace tovilo
