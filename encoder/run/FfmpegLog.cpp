#include "encoder/run/FfmpegLog.h"

#include <array>

namespace tovilo {

namespace {

// A line longer than this is no message worth keeping whole.
constexpr size_t kMaxLine = 1024;

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool isProgress(std::string_view text)
{
    return contains(text, "time=") && contains(text, "bitrate=");
}

bool readsAsError(std::string_view text)
{
    static constexpr std::array<std::string_view, 10> kMarks = {
        "rror",   "Invalid",   "No such", "denied",        "annot",
        "Unable", "not found", "failed",  "not permitted", "No space",
    };
    if (text == "Conversion failed!")
        return false; // ffmpeg's closing word, after the real message
    if (startsWith(text, "file:"))
        return true; // "<file URL>: <what went wrong>"
    for (std::string_view mark : kMarks) {
        if (contains(text, mark))
            return true;
    }
    return false;
}

} // namespace

std::string failureLine(FailureKind kind, std::string_view detail)
{
    std::string line(wrapperErrorPrefix);
    line += ' ';
    line += failureKindName(kind);
    line += ": ";
    for (char c : detail)
        line += c == '\n' || c == '\r' ? ' ' : c;
    line += '\n';
    return line;
}

void FfmpegLog::feed(std::string_view piece)
{
    while (!piece.empty()) {
        const size_t end = piece.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            if (m_partial.size() < kMaxLine)
                m_partial.append(piece.substr(0, kMaxLine - m_partial.size()));
            return;
        }
        if (m_partial.size() < kMaxLine)
            m_partial.append(piece.substr(0, std::min(end, kMaxLine - m_partial.size())));
        line(m_partial);
        m_partial.clear();
        piece.remove_prefix(end + 1);
    }
}

void FfmpegLog::finish()
{
    if (!m_partial.empty())
        line(m_partial);
    m_partial.clear();
}

void FfmpegLog::line(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty() || isProgress(text))
        return;
    m_lastLine = text;
    if (readsAsError(text))
        m_lastError = text;
    if (startsWith(text, "Error writing trailer of ") || startsWith(text, "Error closing file ") ||
        startsWith(text, "av_interleaved_write_frame(): ") ||
        startsWith(text, "Error muxing a packet")) {
        m_writeFailed = true;
        m_writeError = text;
    }
    for (std::string_view full : {"No space left on device", "Disk quota exceeded"}) {
        if (contains(text, full))
            m_noSpace = full;
    }
    if (contains(text, "Invalid data found when processing input"))
        m_invalidInput = true;
    if (contains(text, "does not contain any stream"))
        m_noStream = true;
    // ffmpeg 5.1 prints "<input URL>: <error>" when a read fails; later versions "Error during
    // demuxing: <error>" or "Error retrieving a packet from demuxer".
    // "<input URL>: corrupt input packet ..." and "... corrupt decoded frame ..." are warnings
    // about damage ffmpeg reads past.
    const bool namesInput = !m_inputUrl.empty() && startsWith(text, m_inputUrl) &&
                            startsWith(text.substr(m_inputUrl.size()), ": ") &&
                            !startsWith(text.substr(m_inputUrl.size() + 2), "corrupt ");
    if (namesInput || contains(text, "Error during demuxing") ||
        contains(text, "Error retrieving a packet from demuxer"))
        m_inputError = text;
}

} // namespace tovilo
