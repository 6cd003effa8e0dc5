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

// The text of any exception: the message of our own, the C++ library's words otherwise.
inline QString errorMessage(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const Error*>(&error))
        return own->message();
    return QString::fromLocal8Bit(error.what());
}

} // namespace tovilo
