#pragma once

#include <QByteArray>
#include <QObject>

namespace tovilo {

// What the engine needs of the process that runs the encoder. The run's lines and its end
// are signalled from the event loop, never from inside start().
class ConversionRunner : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    // Starts the command line and returns at once.
    virtual void start(const QByteArray& commandLine) = 0;
    // From the start until the run's end has been delivered.
    virtual bool isRunning() const = 0;
    // Ends the run and returns once its end has been delivered; events are handled meanwhile.
    virtual void stopAndWait() = 0;
    // The last run ended before its program was started (missing, not executable, no pipe).
    virtual bool failedToStart() const = 0;
    // Stops the running program and all it started, or continues them. Stopping works while
    // paused.
    virtual void setPaused(bool paused) = 0;

Q_SIGNALS:
    // One line of the encoder's output.
    void lineReceived(const QByteArray& line);
    // The run ended with this exit code.
    void runFinished(quint32 exitCode);
};

} // namespace tovilo
