#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovilo {

struct SubtitleText
{
    std::string utf8;
    int damagedLines = 0; // lines that lost bytes found in none of the encodings
};

// A subtitle file's text as UTF-8, whatever it was saved in: UTF-8 with or without its byte
// order mark, UTF-16 (with a mark, or told by its zero bytes), else Shift-JIS (code page 932),
// in which Japanese subtitle files are often saved. Read line by line in the encoding most of
// its lines are in; a line in the other one is read in that, and bytes in neither are left out,
// so a stray byte costs its line no more than itself. Nothing, with the reason in why, for bytes
// that are no text at all.
std::optional<SubtitleText> subtitleTextAsUtf8(std::string_view bytes, std::string& why);

} // namespace tovilo
