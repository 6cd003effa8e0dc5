#pragma once

#include <QByteArray>
#include <QList>

// A command line is one string, split into argv with the Windows rules and never handed to a
// shell: blanks and tabs separate arguments outside double quotes; 2n backslashes before a quote
// give n backslashes and the quote opens or closes quoting; 2n+1 give n backslashes and a
// literal quote; backslashes elsewhere are literal.
namespace tovilo {

// Quotes one argument so that splitCommandLine gives it back unchanged. An argument without '"'
// and without a trailing backslash is simply put between double quotes.
QByteArray quoteArgument(const QByteArray& argument);

QList<QByteArray> splitCommandLine(const QByteArray& commandLine);

} // namespace tovilo
