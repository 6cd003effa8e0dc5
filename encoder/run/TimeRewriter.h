#pragma once

#include <string>
#include <string_view>

namespace tovilo {

// Rewrites ffmpeg's progress times "time=HH:MM:SS.xx" into the seconds the program reads,
// "time=<seconds>.xx", on a stream that arrives in arbitrary pieces. Everything else passes
// through byte for byte, line ends included.
class TimeRewriter
{
public:
    // Returns what can be passed on now. A "time=" whose value may still go on in the next
    // piece is held back (a few dozen bytes at most) until it is complete.
    std::string feed(std::string_view piece);

    // End of the stream: returns what was held back.
    std::string finish();

private:
    std::string m_held;
};

// The whole-text form, for text that is complete.
std::string rewriteTimes(std::string_view text);

} // namespace tovilo
