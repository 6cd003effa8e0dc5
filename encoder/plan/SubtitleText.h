#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovilo {

// A subtitle file's text as UTF-8, whatever it was saved in: UTF-8 with or without its byte
// order mark, UTF-16 (with a mark, or told by its zero bytes), else Shift-JIS (code page 932),
// in which Japanese subtitle files are often saved. Nothing, with the reason in why, for bytes
// that are none of these.
std::optional<std::string> subtitleTextAsUtf8(std::string_view bytes, std::string& why);

} // namespace tovilo
