#pragma once

#include <QByteArray>

#include <functional>

namespace tovilo {

// Cuts a child's output, arriving in reads of any size, into lines; also folds echoed input
// into the same stream. Pure: no pipes, no threads, so it can be exercised on its own.
class LineSplitter
{
public:
    // How a delivered text ends. None: a partial line, the text so far of a line whose break
    // has not arrived yet.
    enum class Break
    {
        None,
        CrLf,
        Single
    };

    using Sink = std::function<void(const QByteArray& text, Break lineBreak)>;
    using StopTest = std::function<bool()>;
    using EchoSink = std::function<void(const QByteArray& text, bool complete)>;

    // Splits one read. NUL bytes are dropped; CR, LF and CR LF end a line; an LF that opens
    // a read right after a read that ended in CR completes that CR LF and is dropped. Every
    // complete line goes to sink, empty ones too, then the unterminated rest (if any) as a
    // partial line that the next read continues. stop is asked before each byte; once it
    // answers true the rest of the read is discarded.
    void split(const char* data, qsizetype size, const Sink& sink, const StopTest& stop = {});

    // Echoes one line written to the child's input. lastWasPartial: the latest delivery was a
    // partial line, which the echo then continues. The echo keeps its own line break.
    void echo(const QByteArray& line, bool lastWasPartial, const EchoSink& sink);

    // A line counts as ending with a break when its first CR LF begins at its second-to-last
    // byte or its first LF is its last byte.
    static bool endsWithBreak(const QByteArray& line);

    // The text of a line still waiting for its break.
    const QByteArray& pendingText() const { return m_pending; }
    bool lastWasCr() const { return m_lastWasCr; }

private:
    QByteArray m_pending;
    bool m_lastWasCr = false;
};

} // namespace tovilo
