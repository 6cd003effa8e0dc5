#pragma once

#include "protocol/WrapperFailure.h"

#include <string>
#include <string_view>

namespace tovilo {

// "lib/ffmpeg: error: <kind>: <detail>\n", the detail folded onto one line.
std::string failureLine(FailureKind kind, std::string_view detail);

// Reads ffmpeg's console output as it passes and keeps what tells how the run went. ffmpeg
// may exit 0 after a failed write (the trailer or the close of a full disk), so the messages
// count as much as the exit code.
class FfmpegLog
{
public:
    // The source as ffmpeg names it ("file:<path>"), so that its read errors are told apart.
    void setInputUrl(std::string url) { m_inputUrl = std::move(url); }
    void feed(std::string_view piece);
    void finish();

    bool writeFailed() const { return m_writeFailed; }
    bool noSpace() const { return !m_noSpace.empty(); }
    // "No space left on device" or "Disk quota exceeded", as ffmpeg said it.
    const std::string& noSpaceText() const { return m_noSpace; }
    bool invalidInput() const { return m_invalidInput; }
    bool noStream() const { return m_noStream; }
    // Reading the source failed: after such a line ffmpeg ends the input as if it had reached
    // its end, and still exits 0.
    bool inputFailed() const { return !m_inputError.empty(); }
    const std::string& inputError() const { return m_inputError; }
    // The last line that reads as an error, else the last line that is not progress.
    const std::string& lastError() const { return m_lastError.empty() ? m_lastLine : m_lastError; }
    // The last line that names the failed write or close.
    const std::string& writeError() const { return m_writeError; }

private:
    void line(std::string_view text);

    std::string m_partial;
    std::string m_lastLine;
    std::string m_lastError;
    std::string m_writeError;
    bool m_writeFailed = false;
    std::string m_noSpace;
    bool m_invalidInput = false;
    bool m_noStream = false;
    std::string m_inputUrl;
    std::string m_inputError;
};

} // namespace tovilo
