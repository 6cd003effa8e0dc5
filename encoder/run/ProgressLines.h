#pragma once

#include <string>
#include <string_view>

namespace tovilo {

// Only ffmpeg's own progress lines ("frame=..." or "size=..." at the start of a line) may read
// as progress: a "time=... bitrate=" in a title tag or a file name is made unreadable
// ("time:"), so the program never takes it for the position reached. Works on a stream that
// arrives in arbitrary pieces; line ends pass through unchanged.
class ProgressLines
{
public:
    // Without keepProgress, progress lines are left out altogether: an ffmpeg whose progress
    // is not the conversion's still writes its last one.
    explicit ProgressLines(bool keepProgress = true) : m_keepProgress(keepProgress) {}

    // Returns what can be passed on now; the start of a line is held until it ends (at most
    // kMaxHeld bytes).
    std::string feed(std::string_view piece);
    // End of the stream: returns what was held back.
    std::string finish();

    static constexpr size_t kMaxHeld = 4096;

private:
    void flushLine(std::string& out, size_t length);

    bool m_keepProgress = true;
    std::string m_line;
    bool m_continued = false; // m_line continues a line already partly passed on
    bool m_progress = false;  // ... which was a progress line
};

} // namespace tovilo
