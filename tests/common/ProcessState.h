#pragma once

// Whether a process a test started has ended, and what runs under it, read from /proc.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
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

// A process as /proc shows it.
struct ProcessInfo
{
    qint64 pid = 0;
    qint64 parent = 0;
    char state = '?';       // R, S, T (stopped), Z ...
    qint64 ticks = 0;       // processor time used, user and system
    QByteArray commandLine; // arguments joined by blanks
};

inline ProcessInfo processInfo(qint64 pid)
{
    ProcessInfo info;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return info;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return info;
    info.pid = pid;
    info.state = fields[0].at(0);
    info.parent = fields[1].toLongLong();
    info.ticks = fields[11].toLongLong() + fields[12].toLongLong();
    QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (command.open(QIODevice::ReadOnly))
        info.commandLine = command.readAll().replace('\0', ' ').trimmed();
    return info;
}

// The processes whose parent is pid.
inline QList<ProcessInfo> childrenOf(qint64 pid)
{
    QList<ProcessInfo> children;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 candidate = name.toLongLong(&number);
        if (!number)
            continue;
        const ProcessInfo info = processInfo(candidate);
        if (info.pid != 0 && info.parent == pid)
            children.append(info);
    }
    return children;
}

} // namespace tovilo::test
