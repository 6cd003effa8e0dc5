#include "runner/LineSplitter.h"

namespace tovilo {

void LineSplitter::split(const char* data, qsizetype size, const Sink& sink, const StopTest& stop)
{
    QByteArray line = m_pending;
    bool tookAny = false;
    char last = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (stop && stop())
            break;
        const char c = data[i];
        tookAny = true;
        last = c;
        if (c == '\0')
            continue;
        if (c == '\n' && i == 0 && m_lastWasCr)
            continue;
        if (c == '\r' || c == '\n') {
            Break lineBreak = Break::Single;
            if (c == '\r' && i + 1 < size && data[i + 1] == '\n') {
                ++i;
                last = '\n';
                lineBreak = Break::CrLf;
            }
            sink(line, lineBreak);
            line.clear();
            continue;
        }
        // Take the whole run of ordinary bytes at once; the stop test only matters between
        // deliveries, and a run contains none.
        qsizetype end = i + 1;
        while (end < size && data[end] != '\0' && data[end] != '\r' && data[end] != '\n')
            ++end;
        line.append(data + i, end - i);
        last = data[end - 1];
        i = end - 1;
    }
    m_lastWasCr = tookAny && last == '\r';
    m_pending = line;
    if (!m_pending.isEmpty())
        sink(m_pending, Break::None);
}

void LineSplitter::echo(const QByteArray& line, bool lastWasPartial, const EchoSink& sink)
{
    if (lastWasPartial)
        m_pending.append(line);
    else
        m_pending = line;
    if (endsWithBreak(line)) {
        const QByteArray text = m_pending;
        m_pending.clear();
        sink(text, true);
    } else {
        sink(m_pending, false);
    }
}

bool LineSplitter::endsWithBreak(const QByteArray& line)
{
    const qsizetype crLf = line.indexOf("\r\n");
    if (crLf >= 0 && crLf == line.size() - 2)
        return true;
    const qsizetype lf = line.indexOf('\n');
    return lf >= 0 && lf == line.size() - 1;
}

} // namespace tovilo
