#pragma once

#include <string>
#include <string_view>

// ASS/SSA scripts as libass gets them from a side file: drawn as authored, but never at a cost
// that a crafted file could make minutes per frame or gigabytes.
namespace tovilo {

// Events drawn at the same moment beyond this many are left out: each costs libass its layout
// and blending on every frame it stands on.
constexpr int kMaxSimultaneousEvents = 128;

// Whether the text is an ASS or SSA script, which ffmpeg knows by its first line.
bool isAssScript(std::string_view text);

struct ScriptBounds
{
    int clamped = 0; // sizes, scales and drawing points brought within bounds
    int dropped = 0; // events left out
};

// The script with what makes libass's bitmaps huge brought within bounds: fonts, borders and
// shadows at most the script's picture height, scales at most 500 %, shear at most 2, drawings
// within a few pictures, and at most kMaxSimultaneousEvents events at once (the later ones go).
// Every other byte is kept.
std::string boundedScript(std::string_view text, ScriptBounds& bounds);

} // namespace tovilo
