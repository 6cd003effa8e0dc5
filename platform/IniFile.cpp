#include "platform/IniFile.h"
#include "platform/HexDigit.h"

#include "oscore/Fd.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"

#include <QList>
#include <QString>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovilo {

namespace {

struct Line
{
    qsizetype start = 0; // first byte of the line
    qsizetype end = 0;   // first byte of its line break (or of the next line)
    qsizetype next = 0;  // first byte of the following line
};

QList<Line> splitLines(const QByteArray& text)
{
    QList<Line> lines;
    qsizetype pos = 0;
    while (pos < text.size()) {
        qsizetype lf = text.indexOf('\n', pos);
        Line line;
        line.start = pos;
        if (lf < 0) {
            line.end = line.next = text.size();
        } else {
            line.end = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
            line.next = lf + 1;
        }
        lines.append(line);
        pos = line.next;
    }
    return lines;
}

QByteArrayView lineText(const QByteArray& text, const Line& line)
{
    return QByteArrayView(text).sliced(line.start, line.end - line.start);
}

// The section name of a "[name]" line, or a null view.
QByteArrayView sectionName(QByteArrayView line)
{
    line = line.trimmed();
    if (!line.startsWith('['))
        return {};
    const qsizetype close = line.indexOf(']');
    if (close < 0)
        return {};
    return line.sliced(1, close - 1).trimmed();
}

bool sameName(QByteArrayView a, QByteArrayView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Where a key lives in the file: its line, and the lines that bound its section.
struct Location
{
    qsizetype sectionLine = -1; // index of the "[section]" line
    qsizetype keyLine = -1;     // index of the key's line
    qsizetype lastContent = -1; // last non-blank line of the section (the header at least)
};

Location locate(const QByteArray& text, const QList<Line>& lines, QByteArrayView section,
                QByteArrayView key)
{
    Location where;
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView line = lineText(text, lines[i]);
        const QByteArrayView name = sectionName(line);
        if (!name.isNull()) {
            if (inSection)
                break; // the section ends where the next one begins
            inSection = sameName(name, section);
            if (inSection) {
                where.sectionLine = i;
                where.lastContent = i;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!line.trimmed().isEmpty())
            where.lastContent = i;
        const QByteArrayView trimmed = line.trimmed();
        if (trimmed.startsWith(';'))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq >= 0 && where.keyLine < 0 && sameName(line.first(eq).trimmed(), key))
            where.keyLine = i;
    }
    return where;
}

bool readFile(const QByteArray& path, QByteArray* contents)
{
    const UniqueFd fd = openFile(path.constData(), O_RDONLY);
    if (!fd.isValid())
        return false;
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const std::int64_t n = readSome(fd.get(), buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    *contents = data;
    return true;
}

} // namespace

bool parseProfileInteger(QByteArrayView text, int* value)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= text.size())
        return false;
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit =
            hex ? hexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            return false;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (magnitude > 0xFFFFFFFFull)
            return false;
    }
    long long result;
    if (hex) {
        // Hexadecimal fills the 32 bits, as the original conversion does.
        result = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    } else {
        result = static_cast<long long>(magnitude);
        if (result > static_cast<long long>(INT_MAX) + (negative ? 1 : 0))
            return false;
    }
    *value = static_cast<int>(negative ? -result : result);
    return true;
}

QByteArray IniFile::readString(QByteArrayView section, QByteArrayView key,
                               const QByteArray& defaultValue, bool* tooLong) const
{
    if (tooLong != nullptr)
        *tooLong = false;
    QByteArray text;
    if (!readFile(m_path, &text))
        return defaultValue.left(MaxValueLength);
    const QList<Line> lines = splitLines(text);
    const Location where = locate(text, lines, section, key);
    if (where.keyLine < 0)
        return defaultValue.left(MaxValueLength);
    const QByteArrayView line = lineText(text, lines[where.keyLine]);
    QByteArrayView value = line.sliced(line.indexOf('=') + 1).trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    if (tooLong != nullptr)
        *tooLong = value.size() > MaxValueLength;
    return value.first(std::min(value.size(), MaxValueLength)).toByteArray();
}

int IniFile::readInteger(QByteArrayView section, QByteArrayView key, int defaultValue) const
{
    int value = 0;
    return parseProfileInteger(readString(section, key, QByteArray()), &value) ? value
                                                                               : defaultValue;
}

bool IniFile::readBool(QByteArrayView section, QByteArrayView key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::writeString(QByteArrayView section, QByteArrayView key, QByteArrayView value)
{
    const auto fail = [this] {
        throw IniWriteError(QStringLiteral("%1 に書き込めません").arg(toUtf16(m_path)));
    };
    if (value.size() > MaxValueLength)
        fail();

    // Write through a symbolic link to the file it names, so the link survives.
    QByteArray target = m_path;
    if (char* resolved = ::realpath(m_path.constData(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }

    QByteArray text;
    struct stat info
    {
    };
    const bool exists = ::stat(target.constData(), &info) == 0;
    if (exists) {
        // A read-only file stays unwritten, also for root.
        if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0 ||
            ::access(target.constData(), W_OK) != 0 || !readFile(target, &text))
            fail();
    }

    const QList<Line> lines = splitLines(text);
    QByteArray lineBreak = "\n";
    if (!lines.isEmpty() && lines.first().next > lines.first().end)
        lineBreak = text.mid(lines.first().end, lines.first().next - lines.first().end);
    const QByteArray entry = key.toByteArray() + '=' + value.toByteArray();

    const Location where = locate(text, lines, section, key);
    QByteArray updated;
    if (where.keyLine >= 0) {
        const Line& line = lines[where.keyLine];
        updated = text.left(line.start) + entry + text.mid(line.end);
    } else if (where.sectionLine >= 0) {
        const Line& line = lines[where.lastContent];
        QByteArray insert = entry + lineBreak;
        if (line.next == line.end) // the last line of the file had no break
            insert = lineBreak + entry;
        updated = text.left(line.next) + insert + text.mid(line.next);
    } else {
        updated = text;
        if (!updated.isEmpty() && !updated.endsWith('\n'))
            updated += lineBreak;
        updated += '[' + section.toByteArray() + ']' + lineBreak + entry + lineBreak;
    }

    const int error = replaceFile(target, updated, exists ? (info.st_mode & 07777) : newFileMode());
    if (error != 0)
        fail();
}

void IniFile::writeInteger(QByteArrayView section, QByteArrayView key, int value)
{
    writeString(section, key, QByteArray::number(value));
}

void IniFile::writeBool(QByteArrayView section, QByteArrayView key, bool value)
{
    writeString(section, key, value ? "1" : "0");
}

} // namespace tovilo
