#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace tovilo {

// Paths are bytes (a Shift-JIS name is not UTF-8): readable text when they are valid UTF-8,
// base64 under "<key>Bytes" otherwise, so every name comes back byte for byte.
inline void putBytes(QJsonObject& object, const QString& key, const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() == bytes)
        object.insert(key, text);
    else
        object.insert(key + QStringLiteral("Bytes"), QString::fromLatin1(bytes.toBase64()));
}

inline QByteArray takeBytes(const QJsonObject& object, const QString& key)
{
    const QJsonValue text = object.value(key);
    if (text.isString())
        return text.toString().toUtf8();
    return QByteArray::fromBase64(
        object.value(key + QStringLiteral("Bytes")).toString().toLatin1());
}

} // namespace tovilo
