#pragma once

#include "oscore/Fd.h"

#include <QByteArray>
#include <QList>
#include <QSocketNotifier>
#include <QString>

namespace tovilo {

// One line of /proc/<pid>/mountinfo, with the kernel's octal escapes (\040 ...) decoded.
struct MountEntry
{
    QByteArray majorMinor; // "11:0"
    QByteArray root;       // the folder of the file system that is mounted, "/" for a whole one
    QByteArray mountPoint;
    QByteArray options; // the mount's own options, "rw,nosuid,..."
    QByteArray fsType;
    QByteArray source; // the device, e.g. "/dev/sr0"
};

// Decodes the backslash-octal escapes the kernel writes for blanks, tabs, newlines and "\".
QByteArray decodeMountInfoField(const QByteArray& field);

// Malformed lines are skipped; the order of the text is kept.
QList<MountEntry> parseMountInfo(const QByteArray& text);

// The mounts of the file, in its order; empty when it cannot be read.
QList<MountEntry> readMountInfo(const QString& path = QStringLiteral("/proc/self/mountinfo"));

// A descriptor that becomes ready when the mount table may have changed.
class MountChangeSource
{
public:
    virtual ~MountChangeSource() = default;

    virtual int descriptor() const = 0;
    // The kernel reports a change of a mountinfo file as an exceptional condition (POLLPRI);
    // a stand-in such as a pipe becomes readable instead.
    virtual QSocketNotifier::Type readiness() const = 0;
    // Clears the signal once it has been seen, so the next change signals again.
    virtual void acknowledge() {}
};

// The kernel's own signal: a mountinfo file kept open.
class MountInfoChanges : public MountChangeSource
{
public:
    // Check descriptor() >= 0 for success.
    explicit MountInfoChanges(const QByteArray& path);
    MountInfoChanges(const MountInfoChanges&) = delete;
    MountInfoChanges& operator=(const MountInfoChanges&) = delete;

    int descriptor() const override { return m_fd.get(); }
    QSocketNotifier::Type readiness() const override { return QSocketNotifier::Exception; }

private:
    UniqueFd m_fd;
};

} // namespace tovilo
