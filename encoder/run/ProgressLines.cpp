#include "encoder/run/ProgressLines.h"

namespace tovilo {

namespace {

constexpr std::string_view kKey = "time=";

bool isProgressStart(std::string_view line)
{
    return line.starts_with("frame=") || line.starts_with("size=");
}

} // namespace

void ProgressLines::flushLine(std::string& out, size_t length)
{
    if (!m_continued)
        m_progress = isProgressStart(m_line);
    std::string_view text = std::string_view(m_line).substr(0, length);
    if (m_progress) {
        if (m_keepProgress)
            out.append(text);
        return;
    }
    for (size_t at; (at = text.find(kKey)) != std::string_view::npos;) {
        out.append(text.substr(0, at));
        out.append("time:");
        text.remove_prefix(at + kKey.size());
    }
    out.append(text);
}

std::string ProgressLines::feed(std::string_view piece)
{
    std::string out;
    for (const char c : piece) {
        m_line += c;
        if (c == '\n' || c == '\r') {
            flushLine(out, m_line.size());
            m_line.clear();
            m_continued = false;
        } else if (m_line.size() >= kMaxHeld) {
            // A "time=" may straddle the cut: its start stays for the next part.
            const size_t keep = kKey.size() - 1;
            flushLine(out, m_line.size() - keep);
            m_line.erase(0, m_line.size() - keep);
            m_continued = true;
        }
    }
    return out;
}

std::string ProgressLines::finish()
{
    std::string out;
    flushLine(out, m_line.size());
    m_line.clear();
    m_continued = false;
    return out;
}

} // namespace tovilo
