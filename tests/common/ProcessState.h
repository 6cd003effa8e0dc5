#pragma once

// Whether a process a test started has ended, read from /proc.
#include <QByteArray>
#include <QFile>
#include <QString>

namespace tovilo::test {

// Gone, or a zombie waiting for a parent that is not the test.
inline bool processEnded(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

} // namespace tovilo::test
