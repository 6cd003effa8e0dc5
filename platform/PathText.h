#pragma once

#include <QByteArray>

class QUrl;

// Path text in the system code page. The delimiter is "/" only; scans are lead-byte aware, so
// the trail byte of a double-byte character is never taken for "/" or ".".
namespace tovilo {

inline constexpr char PathDelimiter = '/';

// Index of the last "/" of the path, or -1.
qsizetype lastDelimiter(const QByteArray& path);
// The part after the last delimiter.
QByteArray extractFileName(const QByteArray& path);
// From the last "." of the file-name part on, the dot included; empty when there is none.
QByteArray extractFileExt(const QByteArray& path);
// Replaces the extension, or appends one when the file name has none.
QByteArray changeFileExt(const QByteArray& path, const QByteArray& extension);
bool endsWithDelimiter(const QByteArray& path);
// stem + suffix, with the file-name part of stem shortened, at a character boundary, so that
// the file name fits in nameLimit bytes. Unchanged when the suffix alone does not fit.
QByteArray fitFileName(const QByteArray& stem, const QByteArray& suffix, qsizetype nameLimit);
QByteArray includeTrailingDelimiter(const QByteArray& path);

// The path of a local file URL as the bytes of the name on disk (the URL percent-encodes
// them); empty for any other URL. Unlike QUrl::toLocalFile() it keeps names that are not
// UTF-8.
QByteArray localFilePath(const QUrl& url);

} // namespace tovilo
