#include "ui/FrameworkError.h"

#include "platform/Error.h"

namespace tovilo {

namespace {
ErrorReporter& reporter()
{
    static ErrorReporter instance;
    return instance;
}
} // namespace

void setFrameworkErrorReporter(ErrorReporter newReporter)
{
    reporter() = std::move(newReporter);
}

QString frameworkErrorText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void reportFrameworkError(const QString& message)
{
    if (reporter())
        reporter()(frameworkErrorText(message));
}

void reportException(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const Error*>(&error))
        reportFrameworkError(own->message());
    else
        reportFrameworkError(QString::fromLocal8Bit(error.what()));
}

} // namespace tovilo
