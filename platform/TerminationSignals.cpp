#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

namespace tovilo {

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (!m_signals.install({SIGTERM, SIGHUP, SIGINT}, SignalPipe::Options{}))
        return;
    m_notifier = new QSocketNotifier(m_signals.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readPending()
{
    unsigned char numbers[16];
    for (;;) {
        const int n = m_signals.take(numbers, sizeof numbers);
        if (n <= 0)
            return;
        for (int i = 0; i < n; ++i)
            emit received(numbers[i]);
    }
}

} // namespace tovilo
