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
    reportFrameworkError(errorMessage(error));
}

} // namespace tovilo
