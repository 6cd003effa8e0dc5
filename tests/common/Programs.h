#pragma once

// Running the programs the encoder tests drive: ffmpeg, ffprobe and lib/ffmpeg.
#include "platform/CommandLine.h"
#include "queue/ThConvertInfo.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace tovilo::test {

struct Run
{
    int exitCode = -1; // -1: did not start, did not end in time, or died by a signal
    QByteArray output; // standard output and errors, merged
};

inline Run runProgram(const QString& program, const QStringList& args,
                      const QString& workingDir = {},
                      const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(workingDir);
    process.start(program, args);
    Run run;
    if (!process.waitForStarted() || !process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.output = process.readAll();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}

// lib/ffmpeg's arguments for one job of `queue`, split as the driver's command line is.
inline QStringList wrapperArgs(const ThConvertInfoObjectList& queue, const QByteArray& source,
                               const QByteArray& output)
{
    QStringList args;
    for (const QByteArray& arg : tovilo::splitCommandLine(queue.BuildArguments(source, output)))
        args << QString::fromUtf8(arg);
    return args;
}

} // namespace tovilo::test
