#include "devices/MountInfo.h"

#include <QFile>

#include <fcntl.h>

namespace tovilo {

namespace {

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

} // namespace

QByteArray decodeMountInfoField(const QByteArray& field)
{
    QByteArray decoded;
    decoded.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                decoded.append(char(value));
                i += 3;
                continue;
            }
        }
        decoded.append(field[i]);
    }
    return decoded;
}

QList<MountEntry> parseMountInfo(const QByteArray& text)
{
    QList<MountEntry> entries;
    for (const QByteArray& line : text.split('\n')) {
        // Fields are separated by single blanks; blanks inside a field are escaped.
        const QList<QByteArray> fields = line.split(' ');
        // id, parent, major:minor, root, mount point, options, optional fields..., "-",
        // type, source, super options
        const qsizetype separator = fields.indexOf(QByteArrayLiteral("-"), 6);
        if (fields.size() < 7 || separator < 0 || separator + 2 >= fields.size())
            continue;
        MountEntry entry;
        entry.majorMinor = fields[2];
        entry.root = decodeMountInfoField(fields[3]);
        entry.mountPoint = decodeMountInfoField(fields[4]);
        entry.options = fields[5];
        entry.fsType = decodeMountInfoField(fields[separator + 1]);
        entry.source = decodeMountInfoField(fields[separator + 2]);
        if (entry.mountPoint.isEmpty())
            continue;
        entries.append(entry);
    }
    return entries;
}

QList<MountEntry> readMountInfo(const QString& path)
{
    // A proc file reports size 0, so read it to the end rather than by size.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseMountInfo(file.readAll());
}

MountInfoChanges::MountInfoChanges(const QByteArray& path)
    // Opening takes the current state as seen; only later changes raise POLLPRI.
    : m_fd(openFile(path.constData(), O_RDONLY))
{
}

} // namespace tovilo
