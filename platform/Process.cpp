#include "platform/Process.h"

namespace tovilo {

CommandResult runCommand(const QList<QByteArray>& argv, int timeoutMs, CommandOutput output)
{
    CommandResult result;
    RunOptions options;
    options.output = output;
    options.timeoutMs = timeoutMs;
    options.onOutput = [&](std::string_view piece) {
        result.output.append(piece.data(), static_cast<qsizetype>(piece.size()));
        return true;
    };
    const RunResult run = runChild(argv, options);
    result.startError = run.startError;
    result.timedOut = run.timedOut;
    result.exitCode = run.exitCode;
    return result;
}

} // namespace tovilo
