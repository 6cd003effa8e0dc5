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

// True for the first byte of a double-byte character (only code page 932 has them).
bool isLeadByte(unsigned char byte);

QString toUtf16(const QByteArray& bytes);
QByteArray fromUtf16(const QString& text);

} // namespace tovilo
