#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QByteArrayView>

namespace tovilo {

class IniWriteError : public Error
{
public:
    using Error::Error;
};

// An INI file with the Windows profile API's semantics: section and key names compared without
// regard to case, values trimmed and one pair of surrounding quotes removed on read, values cut
// to 2047 bytes. A write changes only its own line (or adds one) and keeps every other byte;
// it lands atomically through a temporary file and a rename. Paths are in the system code page.
class IniFile
{
public:
    static constexpr qsizetype MaxValueLength = 2047;

    explicit IniFile(QByteArray path) : m_path(std::move(path)) {}

    const QByteArray& path() const { return m_path; }

    // tooLong: the stored value did not fit and was cut (a path cut short names another folder).
    QByteArray readString(QByteArrayView section, QByteArrayView key,
                          const QByteArray& defaultValue, bool* tooLong = nullptr) const;
    // "0x"/"0X" or "$" mark hexadecimal; an empty or unconvertible text gives the default.
    int readInteger(QByteArrayView section, QByteArrayView key, int defaultValue) const;
    bool readBool(QByteArrayView section, QByteArrayView key, bool defaultValue) const;

    // Throws IniWriteError ("<path> に書き込めません") when the file cannot be written, or the
    // value is longer than a read gives back whole (nothing is written then).
    void writeString(QByteArrayView section, QByteArrayView key, QByteArrayView value);
    void writeInteger(QByteArrayView section, QByteArrayView key, int value);
    void writeBool(QByteArrayView section, QByteArrayView key, bool value);

private:
    QByteArray m_path;
};

// The integer conversion of readInteger, exposed for tests: false when the text is no number.
bool parseProfileInteger(QByteArrayView text, int* value);

} // namespace tovilo
