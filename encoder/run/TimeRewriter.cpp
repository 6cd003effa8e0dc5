#include "encoder/run/TimeRewriter.h"

#include <cstdint>

namespace tovilo {

namespace {

constexpr std::string_view kKey = "time=";
constexpr size_t kMaxHourDigits = 9;
constexpr size_t kMaxFractionDigits = 20;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

struct Value
{
    enum State
    {
        NoMatch,
        Incomplete,
        Match
    } state = NoMatch;
    size_t end = 0;
    std::string seconds;
};

uint64_t toNumber(std::string_view digits)
{
    uint64_t n = 0;
    for (char c : digits)
        n = n * 10 + static_cast<uint64_t>(c - '0');
    return n;
}

// Reads "H+:MM:SS[.f+]" at `begin`. Without `atEnd`, running out of text while the value may
// still go on gives Incomplete.
Value readValue(std::string_view text, size_t begin, bool atEnd)
{
    const Value ranOut{atEnd ? Value::NoMatch : Value::Incomplete, 0, {}};
    const Value noMatch{Value::NoMatch, 0, {}};
    size_t pos = begin;
    while (pos < text.size() && isDigit(text[pos]) && pos - begin <= kMaxHourDigits)
        ++pos;
    const size_t hourDigits = pos - begin;
    if (pos == text.size() && hourDigits <= kMaxHourDigits)
        return ranOut;
    if (hourDigits == 0 || hourDigits > kMaxHourDigits)
        return noMatch;
    uint64_t total = toNumber(text.substr(begin, hourDigits)) * 3600;
    for (uint64_t unit : {60, 1}) {
        // ":" and exactly two digits.
        for (size_t k = 0; k < 3; ++k) {
            if (pos + k >= text.size())
                return ranOut;
            if (k == 0 ? text[pos] != ':' : !isDigit(text[pos + k]))
                return noMatch;
        }
        total += toNumber(text.substr(pos + 1, 2)) * unit;
        pos += 3;
    }
    Value value{Value::Match, pos, std::to_string(total)};
    if (pos == text.size())
        return atEnd ? value : ranOut;
    if (isDigit(text[pos]))
        return noMatch;
    if (text[pos] != '.')
        return value;
    size_t end = pos + 1;
    while (end < text.size() && isDigit(text[end]) && end - pos - 1 <= kMaxFractionDigits)
        ++end;
    if (end - pos - 1 > kMaxFractionDigits)
        return noMatch;
    if (end == text.size() && !atEnd)
        return ranOut;
    if (end == pos + 1)
        return value; // a '.' without digits is not part of the time
    value.seconds.append(text.substr(pos, end - pos));
    value.end = end;
    return value;
}

// Appends the rewritten text to `out` and returns how much of `text` was used; the rest has to
// wait for more text.
size_t rewrite(std::string_view text, bool atEnd, std::string& out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t hit = text.find(kKey.front(), pos);
        if (hit == std::string_view::npos) {
            out.append(text.substr(pos));
            return text.size();
        }
        out.append(text.substr(pos, hit - pos));
        pos = hit;
        const std::string_view rest = text.substr(pos);
        if (rest.size() < kKey.size() && kKey.starts_with(rest) && !atEnd)
            return pos;
        if (!rest.starts_with(kKey)) {
            out += text[pos++];
            continue;
        }
        const Value value = readValue(text, pos + kKey.size(), atEnd);
        if (value.state == Value::Incomplete)
            return pos;
        out.append(kKey);
        if (value.state == Value::Match) {
            out.append(value.seconds);
            pos = value.end;
        } else {
            pos += kKey.size();
        }
    }
    return pos;
}

} // namespace

std::string TimeRewriter::feed(std::string_view piece)
{
    m_held.append(piece);
    std::string out;
    const size_t used = rewrite(m_held, false, out);
    m_held.erase(0, used);
    return out;
}

std::string TimeRewriter::finish()
{
    std::string out;
    rewrite(m_held, true, out);
    m_held.clear();
    return out;
}

std::string rewriteTimes(std::string_view text)
{
    std::string out;
    rewrite(text, true, out);
    return out;
}

} // namespace tovilo
