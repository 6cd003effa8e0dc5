#include "platform/CommandLine.h"

#include "protocol/WrapperCommand.h"

namespace tovilo {

QByteArray quoteArgument(const QByteArray& argument)
{
    return QByteArray::fromStdString(quotedArgument(
        std::string_view(argument.constData(), static_cast<size_t>(argument.size()))));
}

QList<QByteArray> splitCommandLine(const QByteArray& commandLine)
{
    QList<QByteArray> arguments;
    QByteArray current;
    bool inArgument = false;
    bool quoted = false;
    const qsizetype n = commandLine.size();
    for (qsizetype i = 0; i < n;) {
        const char c = commandLine[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) {
                arguments.append(current);
                current.clear();
                inArgument = false;
            }
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            qsizetype count = 0;
            while (i < n && commandLine[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < n && commandLine[i] == '"') {
                current += QByteArray(count / 2, '\\');
                if (count % 2 == 1) {
                    current += '"';
                    ++i;
                }
                // An even count leaves the quote to toggle quoting below.
            } else {
                current += QByteArray(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            // Inside quotes, "" stands for one literal quote.
            if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
                current += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArgument)
        arguments.append(current);
    return arguments;
}

} // namespace tovilo
