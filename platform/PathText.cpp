#include "platform/PathText.h"

#include "platform/CodePage.h"

#include <QUrl>

namespace tovilo {

namespace {

// Last index at which `wanted` stands as a character of its own (not a trail byte) at or after
// `from`, or -1.
qsizetype lastCharIndex(const QByteArray& text, char wanted, qsizetype from = 0)
{
    qsizetype found = -1;
    for (qsizetype i = from; i < text.size(); i += charLength(text, i)) {
        if (text[i] == wanted)
            found = i;
    }
    return found;
}

} // namespace

qsizetype lastDelimiter(const QByteArray& path)
{
    return lastCharIndex(path, PathDelimiter);
}

QByteArray extractFileName(const QByteArray& path)
{
    return path.mid(lastDelimiter(path) + 1);
}

QByteArray extractFileExt(const QByteArray& path)
{
    const qsizetype nameStart = lastDelimiter(path) + 1;
    const qsizetype dot = lastCharIndex(path, '.', nameStart);
    return dot < 0 ? QByteArray() : path.mid(dot);
}

QByteArray changeFileExt(const QByteArray& path, const QByteArray& extension)
{
    const qsizetype nameStart = lastDelimiter(path) + 1;
    const qsizetype dot = lastCharIndex(path, '.', nameStart);
    return (dot < 0 ? path : path.left(dot)) + extension;
}

QByteArray fitFileName(const QByteArray& stem, const QByteArray& suffix, qsizetype nameLimit)
{
    const qsizetype nameStart = lastDelimiter(stem) + 1;
    const qsizetype room = nameLimit - suffix.size();
    if (stem.size() - nameStart <= room || room < 0)
        return stem + suffix;
    qsizetype end = nameStart;
    for (qsizetype next; end < stem.size(); end = next) {
        next = end + charLength(stem, end);
        if (next - nameStart > room)
            break;
    }
    return stem.left(end) + suffix;
}

bool endsWithDelimiter(const QByteArray& path)
{
    return !path.isEmpty() && lastDelimiter(path) == path.size() - 1;
}

QByteArray includeTrailingDelimiter(const QByteArray& path)
{
    return endsWithDelimiter(path) ? path : path + PathDelimiter;
}

QByteArray localFilePath(const QUrl& url)
{
    if (!url.isLocalFile())
        return QByteArray();
    QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    // As toLocalFile(): a host names a network share.
    const QString host = url.host();
    if (!host.isEmpty() && host != QLatin1String("localhost"))
        path = "//" + host.toUtf8() + path;
    return path;
}

} // namespace tovilo
