#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace tovilo {

// Base of the program's own errors; the message is what the user is shown.
class Error : public std::exception
{
public:
    explicit Error(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

} // namespace tovilo
