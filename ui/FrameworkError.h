#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

// The framework error box: an error that escapes an event handler is shown to the user, and the
// program goes on. Exceptions never unwind through Qt: handlers are wrapped with guarded().
namespace tovilo {

using ErrorReporter = std::function<void(const QString& text)>;

// The program shows a critical box; tests record the text instead.
void setFrameworkErrorReporter(ErrorReporter reporter);

// The message as the box shows it: a full stop is appended when the last character sorts
// after ".".
QString frameworkErrorText(const QString& message);

void reportFrameworkError(const QString& message);
void reportException(const std::exception& error);

// Wraps a handler so that an exception it raises ends in the framework error box.
template <typename Handler> auto guarded(Handler handler)
{
    return [handler = std::move(handler)](auto&&... args) {
        try {
            // Signals may pass more arguments than a handler takes (QTimer's private tag).
            if constexpr (std::is_invocable_v<const Handler&, decltype(args)...>)
                handler(std::forward<decltype(args)>(args)...);
            else
                handler();
        } catch (const std::exception& error) {
            reportException(error);
        }
    };
}

} // namespace tovilo
