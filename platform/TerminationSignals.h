#pragma once

#include <QObject>

#include "oscore/SignalPipe.h"

class QSocketNotifier;

namespace tovilo {

// Brings SIGTERM, SIGHUP and SIGINT to the thread that made this object as a Qt signal: a
// socket notifier reads the signal self-pipe, so the work happens in the event loop and never
// inside the handler. A signal that was ignored when
// the program started (nohup, a background job) stays ignored. One object at a time; the
// previous handlers come back when it is destroyed.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe could not be made: the signals then keep their default action.
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readPending();

    SignalPipe m_signals;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace tovilo
