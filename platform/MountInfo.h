#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace tovilo {

// One line of /proc/<pid>/mountinfo, with the kernel's octal escapes (\040 ...) decoded.
struct MountEntry
{
    QByteArray majorMinor; // "11:0"
    QByteArray root;       // the folder of the file system that is mounted, "/" for a whole one
    QByteArray mountPoint;
    QByteArray fsType;
    QByteArray source; // the device, e.g. "/dev/sr0"
};

// Decodes the backslash-octal escapes the kernel writes for blanks, tabs, newlines and "\".
QByteArray decodeMountInfoField(const QByteArray& field);

// Malformed lines are skipped; the order of the text is kept.
QList<MountEntry> parseMountInfo(const QByteArray& text);

// The mounts of the file, in its order; empty when it cannot be read.
QList<MountEntry> readMountInfo(const QString& path = QStringLiteral("/proc/self/mountinfo"));

} // namespace tovilo
