#pragma once

// A mount table whose change signal the test raises by hand: a pipe that becomes readable.
#include "devices/MountInfo.h"

#include <QCoreApplication>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tovilo::test {

class FakeMountTable
{
public:
    FakeMountTable()
    {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            m_pipe[0] = m_pipe[1] = -1;
    }
    ~FakeMountTable()
    {
        for (int fd : m_pipe) {
            if (fd >= 0)
                close(fd);
        }
    }
    FakeMountTable(const FakeMountTable&) = delete;
    FakeMountTable& operator=(const FakeMountTable&) = delete;

    // What a drive service hands out; it borrows the pipe.
    std::unique_ptr<MountChangeSource> watch() { return std::make_unique<Source>(this); }

    // Sources handed out and not yet dropped.
    int watching() const { return m_watching; }

    void signalChange() { QVERIFY(write(m_pipe[1], "x", 1) == 1); }

    // Waits until the watcher has seen the signal and has compared the drives.
    bool waitUntilSeen()
    {
        if (!QTest::qWaitFor([this] { return unread() == 0; }, 10000))
            return false;
        QCoreApplication::processEvents(); // the comparison is queued behind the signal
        return true;
    }

private:
    class Source : public MountChangeSource
    {
    public:
        explicit Source(FakeMountTable* table) : m_table(table) { ++m_table->m_watching; }
        ~Source() override { --m_table->m_watching; }
        int descriptor() const override { return m_table->m_pipe[0]; }
        QSocketNotifier::Type readiness() const override { return QSocketNotifier::Read; }
        void acknowledge() override
        {
            char buffer[64];
            while (read(m_table->m_pipe[0], buffer, sizeof buffer) > 0) {
            }
        }

    private:
        FakeMountTable* m_table;
    };

    int unread() const
    {
        int bytes = 0;
        return ioctl(m_pipe[0], FIONREAD, &bytes) == 0 ? bytes : -1;
    }

    int m_pipe[2] = {-1, -1};
    int m_watching = 0;
};

} // namespace tovilo::test
