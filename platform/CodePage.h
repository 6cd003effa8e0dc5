#pragma once

#include <QByteArray>
#include <QString>

namespace tovilo {

// The system code page: byte strings (paths, the command line, settings) are in it.
enum class CodePage
{
    Utf8,
    Cp932
};

// Read from the C library's codeset; call after setlocale(LC_ALL, "").
CodePage detectSystemCodePage();
CodePage systemCodePage();
void setSystemCodePage(CodePage codePage);

// Length in bytes of the character that starts at `index`: a whole double-byte or UTF-8
// sequence, 1 for a byte that starts none. Cutting only at these steps never splits a character.
qsizetype charLength(const QByteArray& bytes, qsizetype index);

// Byte strings of the code page and UTF-16 text. Every byte string survives the round trip
// fromUtf16(toUtf16(bytes)): a byte that does not decode (a name written in another encoding)
// is kept as the lone surrogate U+DC80..U+DCFF. Characters the code page cannot express
// become "?" on the way back.
QString toUtf16(const QByteArray& bytes);
QByteArray fromUtf16(const QString& text);

// Readable text for a name or path, for showing only: the code page's text when the bytes are
// valid in it, else their Shift-JIS reading when that is valid (names from old Windows
// archives), else the code page's text with U+FFFD for each byte that does not decode.
QString displayText(const QByteArray& bytes);

} // namespace tovilo
