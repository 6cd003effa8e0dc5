#pragma once

#include <QByteArray>

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
QByteArray includeTrailingDelimiter(const QByteArray& path);

} // namespace tovilo
