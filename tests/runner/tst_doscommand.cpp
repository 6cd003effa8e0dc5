#include "common/ProcessState.h"
#include "platform/CommandLine.h"
#include "runner/DosCommand.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using Events = QList<QByteArray>;

namespace {

QByteArray childCommand(const QList<QByteArray>& args)
{
    QByteArray line = tovilo::quoteArgument(RUNNER_CHILD) + " runner";
    for (const QByteArray& arg : args)
        line += ' ' + tovilo::quoteArgument(arg);
    return line;
}

qint64 statusKiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& entry : status.readAll().split('\n')) {
        if (entry.startsWith(field + ':'))
            return entry.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

qint64 residentKiB()
{
    return statusKiB("VmRSS");
}

int entriesIn(const QString& path)
{
    return int(QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

// Processes whose parent is this test, zombies included.
int childProcesses()
{
    int count = 0;
    const QByteArray self = QByteArray::number(getpid());
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        name.toInt(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/") + name + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1] == self)
            ++count;
    }
    return count;
}

// Records every event of a runner as text: "P:text" partial line, "L:text" complete line ended
// by CR or LF alone, "W:text" ended by CR LF, "T:code" termination, "E:message" start error.
struct Recorder
{
    explicit Recorder(TDosCommand& command) : command(command)
    {
        command.OnNewLine = [this](TDosCommand* sender, const QByteArray& text, TOutputType type) {
            QVERIFY(sender == &this->command);
            if (type == otPartialLine)
                events.append("P:" + text);
            else
                events.append((this->command.OutputReturnCode() == rcCRLF ? "W:" : "L:") + text);
        };
        command.OnTerminated = [this](TDosCommand* sender, quint32 exitCode) {
            QVERIFY(sender == &this->command);
            events.append("T:" + QByteArray::number(exitCode));
            runningInTerminated = this->command.IsRunning();
            stateInTerminated = this->command.RunState();
            ++terminations;
        };
        command.OnStartError = [this](const QString& message) {
            events.append("E:" + message.toUtf8());
        };
    }

    // The child's pid from its "pid N" line.
    pid_t childPid() const
    {
        for (const QByteArray& event : events) {
            if (event.startsWith("L:pid "))
                return event.mid(6).toInt();
        }
        return 0;
    }

    bool hasEvent(const QByteArray& event) const { return events.contains(event); }

    TDosCommand& command;
    Events events;
    bool runningInTerminated = false;
    TRunState stateInTerminated = rsPreparing;
    int terminations = 0;
};

} // namespace

class TestDosCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A child ignoring SIGTERM would otherwise make the stop test meaningless.
        std::signal(SIGTERM, SIG_DFL);
    }

    void cleanup()
    {
        // Whatever a test did, no child of ours may be left.
        QTRY_COMPARE_WITH_TIMEOUT(childProcesses(), 0, 20000);
    }

    void output_data()
    {
        QTest::addColumn<QList<QByteArray>>("args");
        QTest::addColumn<Events>("expected");

        QTest::newRow("three reads then end")
            << QList<QByteArray>{"chunks", "ab", "cd\\r", "\\nef\\r\\ng"}
            << Events{"P:ab", "L:abcd", "W:ef", "P:g", "P:g", "T:0"};
        QTest::newRow("a LF LF b")
            << QList<QByteArray>{"chunks", "a\\n\\nb"} << Events{"L:a", "L:", "P:b", "P:b", "T:0"};
        QTest::newRow("CR LF in one read, LF later after CR")
            << QList<QByteArray>{"chunks", "x\\r\\ny\\r", "\\nz\\n"}
            << Events{"W:x", "L:y", "L:z", "T:0"};
        QTest::newRow("CR-only progress lines")
            << QList<QByteArray>{"chunks", "frame=1 time=0.50 bitrate=\\r",
                                 "frame=2 time=1.00 bitrate=\\rframe=3 time=1.50 bitrate=\\r"}
            << Events{"L:frame=1 time=0.50 bitrate=", "L:frame=2 time=1.00 bitrate=",
                      "L:frame=3 time=1.50 bitrate=", "T:0"};
        QTest::newRow("NUL bytes") << QList<QByteArray>{"chunks", "\\0a\\0b\\0", "c\\0\\n\\0"}
                                   << Events{"P:ab", "L:abc", "T:0"};
        QTest::newRow("shift-jis split across reads")
            << QList<QByteArray>{"chunks", "\\x93\\xfa\\x96", "\\x7b\\r\\n"}
            << Events{"P:\x93\xfa\x96", "W:\x93\xfa\x96\x7b", "T:0"};
        QTest::newRow("output still in the pipe at the end")
            << QList<QByteArray>{"chunks", "1\\n2\\n3\\n4\\n5\\nlast"}
            << Events{"L:1", "L:2", "L:3", "L:4", "L:5", "P:last", "P:last", "T:0"};
    }

    void output()
    {
        QFETCH(QList<QByteArray>, args);
        QFETCH(Events, expected);

        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand(args);
        QCOMPARE(command.Execute(), 0u);
        QCOMPARE(recorder.events, expected);
        QCOMPARE(recorder.terminations, 1);
        QVERIFY(recorder.runningInTerminated);
        QCOMPARE(recorder.stateInTerminated, rsExited);
        QVERIFY(!command.IsRunning());
        QCOMPARE(command.RunState(), rsExited);
        Events delivered = expected;
        delivered.removeLast();
        for (QByteArray& text : delivered)
            text.remove(0, 2);
        QCOMPARE(command.DeliveredLines.toList(), delivered);
    }

    void exitCodes_data()
    {
        QTest::addColumn<QList<QByteArray>>("args");
        QTest::addColumn<quint32>("code");

        QTest::newRow("0") << QList<QByteArray>{"exit", "0"} << 0u;
        QTest::newRow("1") << QList<QByteArray>{"exit", "1"} << 1u;
        QTest::newRow("255") << QList<QByteArray>{"exit", "255"} << 255u;
        QTest::newRow("killed by SIGTERM") << QList<QByteArray>{"signal", "15"} << 128u + 15;
        QTest::newRow("killed by SIGKILL") << QList<QByteArray>{"signal", "9"} << 128u + 9;
        QTest::newRow("output closed early") << QList<QByteArray>{"closeout"} << 4u;
        QTest::newRow("grandchild holds the pipe") << QList<QByteArray>{"grandchild"} << 3u;
    }

    void exitCodes()
    {
        QFETCH(QList<QByteArray>, args);
        QFETCH(quint32, code);

        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand(args);
        QCOMPARE(command.Execute(), code);
        QCOMPARE(command.ResultCode(), code);
        QCOMPARE(command.RunState(), rsExited);
        QCOMPARE(recorder.events.last(), "T:" + QByteArray::number(code));
        QCOMPARE(recorder.terminations, 1);

        if (args.first() == "grandchild") {
            // The run ended with the child, not with the pipe; the grandchild went with its
            // process group.
            QCOMPARE(recorder.events.size(), 2);
            const pid_t grandchild = recorder.events.first().mid(13).toInt();
            QVERIFY(grandchild > 0);
            QTRY_VERIFY_WITH_TIMEOUT(tovilo::test::processEnded(grandchild), 20000);
        }
    }

    void missingProgram_data()
    {
        QTest::addColumn<QByteArray>("commandLine");
        QTest::addColumn<int>("error");

        QTest::newRow("path") << QByteArray("/nonexistent/tovilo-child --x") << ENOENT;
        QTest::newRow("relative path") << QByteArray("lib/tovilo-no-such-program") << ENOENT;
        QTest::newRow("not on PATH") << QByteArray("tovilo-no-such-program-xyz a") << ENOENT;
        QTest::newRow("a folder") << QByteArray("/tmp") << EACCES;
        QTest::newRow("blanks only") << QByteArray("   ") << ENOENT;
    }

    void missingProgram()
    {
        QFETCH(QByteArray, commandLine);
        QFETCH(int, error);

        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = commandLine;
        QCOMPARE(command.Execute(), quint32(error));
        QCOMPARE(command.RunState(), rsProcessFailed);
        QCOMPARE(recorder.stateInTerminated, rsCreatingProcess);
        QVERIFY(recorder.runningInTerminated);
        // The error comes after OnTerminated, on the main thread.
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 20000);
        QCOMPARE(recorder.events[0], "T:259");
        QCOMPARE(recorder.events[1], "E:" + commandLine + " doesn't exist.");
    }

    void emptyCommandLine()
    {
        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"exit", "9"});
        QCOMPARE(command.Execute(), 9u);
        recorder.events.clear();
        command.CommandLine.clear();
        command.Start();
        QVERIFY(!command.IsRunning());
        QCOMPARE(command.Execute(), 9u);
        QTest::qWait(50);
        QVERIFY(recorder.events.isEmpty());
    }

    void stop_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::newRow("quiet child") << QByteArray("sleep");
        QTest::newRow("child ignoring SIGTERM") << QByteArray("ignoreterm");
    }

    void stop()
    {
        QFETCH(QByteArray, mode);

        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"exit", "7"});
        command.Execute();
        recorder.events.clear();

        command.CommandLine = childCommand({mode, "60", "half"});
        command.Start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.hasEvent("P:half"), 20000);
        const pid_t child = recorder.childPid();
        QVERIFY(child > 0);
        command.Stop();
        QVERIFY(command.IsRunning()); // until OnTerminated has returned
        QTRY_VERIFY_WITH_TIMEOUT(!command.IsRunning(), 20000);
        QCOMPARE(recorder.events,
                 (Events{"L:pid " + QByteArray::number(child), "P:half", "P:half", "T:259"}));
        QVERIFY(recorder.runningInTerminated);
        QCOMPARE(recorder.stateInTerminated, rsStopped);
        QCOMPARE(command.RunState(), rsStopped);
        QCOMPARE(command.ResultCode(), 7u);
        QVERIFY(tovilo::test::processEnded(child));
    }

    // The program ignores or blocks the signals it handles itself (and nohup ignores
    // SIGHUP); the encoder must still end on them like any program.
    void childStartsWithDefaultSignals_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void childStartsWithDefaultSignals()
    {
        QFETCH(int, number);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, number);
        sigset_t oldMask;
        pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
        const auto oldHandler = std::signal(number, SIG_IGN);

        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"sleep", "60"});
        command.Start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.childPid() > 0, 20000);
        std::signal(number, oldHandler);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        ::kill(recorder.childPid(), number);
        QTRY_VERIFY_WITH_TIMEOUT(!command.IsRunning(), 20000);
        QCOMPARE(command.ResultCode(), 128u + static_cast<quint32>(number));
    }

    void stopRightAfterStart()
    {
        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"sleep", "60"});
        command.Start();
        command.Stop();
        command.WaitWhileRunning();
        QVERIFY(!command.IsRunning());
        QVERIFY(recorder.terminations <= 1);
        if (recorder.terminations == 1)
            QCOMPARE(recorder.events.last(), "T:259");
    }

    void timeLimits_data()
    {
        QTest::addColumn<QList<QByteArray>>("args");
        QTest::addColumn<int>("afterBeginning");
        QTest::addColumn<int>("afterOutput");
        QTest::addColumn<int>("linesExpected");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("minimumMs");

        QTest::newRow("since start")
            << QList<QByteArray>{"sleep", "60"} << 1 << 0 << 1 << int(rsTimedOut) << 1800;
        QTest::newRow("since output, reset by each line")
            << QList<QByteArray>{"lines", "250", "12"} << 0 << 2 << 12 << int(rsTimedOut) << 4500;
        QTest::newRow("negative limit never ends a run")
            << QList<QByteArray>{"sleep", "2.5"} << -1 << -1 << 1 << int(rsExited) << 2400;
    }

    void timeLimits()
    {
        QFETCH(QList<QByteArray>, args);
        QFETCH(int, afterBeginning);
        QFETCH(int, afterOutput);
        QFETCH(int, linesExpected);
        QFETCH(int, state);
        QFETCH(int, minimumMs);

        TDosCommand command;
        Recorder recorder(command);
        command.MaxTimeAfterBeginning = afterBeginning;
        command.MaxTimeAfterLastOutput = afterOutput;
        command.CommandLine = childCommand(args);
        QElapsedTimer clock;
        clock.start();
        command.Execute();
        QVERIFY2(clock.elapsed() >= minimumMs, QByteArray::number(clock.elapsed()));
        QCOMPARE(int(command.RunState()), state);
        QCOMPARE(recorder.events.size(), linesExpected + 1);
        QCOMPARE(recorder.events.last(), state == rsTimedOut ? "T:259" : "T:6");
    }

    void overlappingRunsShareTheTick()
    {
        // A run that ends while a later one is timed must not stop the later one's clock.
        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"sleep", "0.3"});
        command.Start();
        command.MaxTimeAfterBeginning = 2;
        command.CommandLine = childCommand({"sleep", "60"});
        command.Start();
        QTRY_VERIFY_WITH_TIMEOUT(!command.IsRunning(), 20000);
        QCOMPARE(command.RunState(), rsTimedOut);
        QTRY_COMPARE(recorder.terminations, 2);
    }

    void input_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<Events>("expected");

        // Echoes keep their own break and leave OutputReturnCode alone: "C:" marks them.
        QTest::newRow("no echo") << false << QList<QByteArray>{"hello\r\n", "quit\n"}
                                 << Events{"L:ready", "W:hello", "L:quit", "T:0"};
        QTest::newRow("echo") << true << QList<QByteArray>{"hello\r\n", "quit\n"}
                              << Events{"L:ready", "C:hello\r\n", "C:quit\n",
                                        "W:hello", "L:quit",      "T:0"};
        QTest::newRow("echo of a line in pieces")
            << true << QList<QByteArray>{"ab", "", "c\n", "quit\n"}
            << Events{"L:ready", "P:ab", "C:abc\n", "C:quit\n", "L:abc", "L:quit", "T:0"};
    }

    void input()
    {
        QFETCH(bool, echo);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(Events, expected);

        TDosCommand command;
        Recorder recorder(command);
        const TNewLineEvent record = command.OnNewLine;
        // Queued while the worker waits for the "ready" delivery, so it finds them all in the
        // same pass.
        command.OnNewLine = [&](TDosCommand* sender, const QByteArray& text, TOutputType type) {
            if (type == otCompleteLine && text.endsWith('\n'))
                recorder.events.append("C:" + text);
            else
                record(sender, text, type);
            if (text == "ready") {
                for (const QByteArray& line : lines)
                    sender->InputQueue.append(line);
            }
        };
        command.InputToOutput = echo;
        command.CommandLine = childCommand({"echo"});
        command.InputQueue.append("queued before the start\n");
        command.Start();
        command.WaitWhileRunning();
        QCOMPARE(recorder.events, expected);
        QVERIFY(command.InputQueue.isEmpty());
    }

    void childEndsWhileInputIsWritten()
    {
        // The pipe fills, the child takes a byte and ends: the rest of the write fails with
        // EPIPE, which must not bring the test down with SIGPIPE.
        TDosCommand command;
        Recorder recorder(command);
        command.CommandLine = childCommand({"eatone"});
        command.Start();
        command.InputQueue.append(QByteArray(1 << 20, 'x'));
        command.InputQueue.append("more\n");
        command.WaitWhileRunning();
        QCOMPARE(command.RunState(), rsExited);
        QCOMPARE(recorder.events, Events{"T:5"});
        QVERIFY(command.InputQueue.isEmpty() || command.InputQueue.count() == 1);
    }

    void outputList_data()
    {
        QTest::addColumn<QList<QByteArray>>("initial");
        QTest::addColumn<QList<QByteArray>>("expected");

        QTest::newRow("empty list") << QList<QByteArray>{} << QList<QByteArray>{"abcd", "", "ef"};
        QTest::newRow("list with an item")
            << QList<QByteArray>{"x"} << QList<QByteArray>{"x", "abcd", "", "ef"};
    }

    void outputList()
    {
        QFETCH(QList<QByteArray>, initial);
        QFETCH(QList<QByteArray>, expected);

        TDosCommand command;
        QList<QByteArray> list = initial;
        command.OutputList = &list;
        command.CommandLine = childCommand({"chunks", "ab", "cd\\n\\n", "ef"});
        command.Execute();
        QCOMPARE(list, expected);
    }

    void failingHandlers()
    {
        TDosCommand command;
        Events lines;
        command.OnNewLine = [&](TDosCommand*, const QByteArray& text, TOutputType) {
            lines.append(text);
            if (text == "b")
                throw std::runtime_error("handler failed");
        };
        command.OnTerminated = [](TDosCommand*, quint32) { throw std::runtime_error("failed"); };
        command.CommandLine = childCommand({"chunks", "a\\nb\\nc\\n"});
        QCOMPARE(command.Execute(), 0u);
        QVERIFY(!command.IsRunning());
        QCOMPARE(lines, (Events{"a", "b", "c"}));
        QCOMPARE(command.RunState(), rsExited);
    }

    void startFromOnTerminated()
    {
        TDosCommand command;
        Recorder recorder(command);
        QList<bool> runningBeforeStart;
        int started = 0;
        command.OnTerminated = [&](TDosCommand* sender, quint32 exitCode) {
            recorder.events.append("T:" + QByteArray::number(exitCode));
            runningBeforeStart.append(sender->IsRunning());
            if (started < 2) {
                ++started;
                sender->CommandLine = childCommand({"exit", QByteArray::number(10 + started)});
                sender->Start();
                QVERIFY(sender->IsRunning());
            }
        };
        command.CommandLine = childCommand({"exit", "10"});
        command.Start();
        command.WaitWhileRunning();
        QCOMPARE(recorder.events, (Events{"T:10", "T:11", "T:12"}));
        QCOMPARE(runningBeforeStart, (QList<bool>{true, true, true}));
        QCOMPARE(command.ResultCode(), 12u);
    }

    void nestedExecuteFromOnTerminated()
    {
        // The conversion driver's pattern: each next job runs inside the previous one's
        // termination handler.
        TDosCommand command;
        Events order;
        int next = 0;
        command.OnNewLine = [&](TDosCommand*, const QByteArray& text, TOutputType type) {
            if (type == otCompleteLine)
                order.append(text);
        };
        command.OnTerminated = [&](TDosCommand* sender, quint32 exitCode) {
            order.append("T:" + QByteArray::number(exitCode));
            const int job = ++next;
            if (job < 4) {
                sender->CommandLine =
                    childCommand({"chunks", "job " + QByteArray::number(job) + "\\n"});
                sender->Execute();
                order.append("back " + QByteArray::number(job));
            }
        };
        command.CommandLine = childCommand({"chunks", "job 0\\n"});
        QCOMPARE(command.Execute(), 0u);
        QCOMPARE(order, (Events{"job 0", "T:0", "job 1", "T:0", "job 2", "T:0", "job 3", "T:0",
                                "back 3", "back 2", "back 1"}));
        QVERIFY(!command.IsRunning());
    }

    void destroyWhileRunning()
    {
        const int threadsBefore = entriesIn(QStringLiteral("/proc/self/task"));
        pid_t child = 0;
        {
            auto command = std::make_unique<TDosCommand>();
            Recorder recorder(*command);
            command->CommandLine = childCommand({"sleep", "60"});
            command->Start();
            QTRY_VERIFY_WITH_TIMEOUT((child = recorder.childPid()) > 0, 20000);
        }
        QVERIFY(tovilo::test::processEnded(child));
        QTRY_COMPARE_WITH_TIMEOUT(entriesIn(QStringLiteral("/proc/self/task")), threadsBefore,
                                  20000);

        // A worker waiting in a hand-over that the main thread never executes.
        {
            TDosCommand command;
            Recorder recorder(command);
            command.CommandLine = childCommand({"sleep", "60", "line\\n"});
            command.Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        QTRY_COMPARE_WITH_TIMEOUT(entriesIn(QStringLiteral("/proc/self/task")), threadsBefore,
                                  20000);
    }

    void manyRunsLeaveNothingBehind()
    {
        const int fdsBefore = entriesIn(QStringLiteral("/proc/self/fd"));
        const int threadsBefore = entriesIn(QStringLiteral("/proc/self/task"));
        TDosCommand command;
        int lines = 0;
        int terminations = 0;
        command.OnNewLine = [&](TDosCommand*, const QByteArray&, TOutputType) { ++lines; };
        command.OnTerminated = [&](TDosCommand*, quint32) { ++terminations; };
        command.CommandLine = childCommand({"chunks", "a line\\n"});
        for (int run = 0; run < 500; ++run)
            QCOMPARE(command.Execute(), 0u);
        QCOMPARE(lines, 500);
        QCOMPARE(terminations, 500);
        QTRY_COMPARE_WITH_TIMEOUT(entriesIn(QStringLiteral("/proc/self/task")), threadsBefore,
                                  20000);
        QCOMPARE(entriesIn(QStringLiteral("/proc/self/fd")), fdsBefore);
        QCOMPARE(childProcesses(), 0);
    }

    // An encoder that chatters without end (two million progress lines) costs the program no
    // more memory than a quiet one: every line reaches OnNewLine, and the run keeps only the
    // latest of them.
    void keepsMemoryBoundedWhateverTheChildPrints()
    {
        const QByteArray line =
            "frame=  100 fps=25 q=2.0 size=    1024kB time=00:00:04.00 bitrate=2097.2kbits/s "
            "speed=1x";
        // Enough that keeping every line (about 170 bytes each) would pass the limit below
        // three times over; more only makes the test slow.
        constexpr int count = 300000;
        TDosCommand command;
        command.DeliveredLines.setLimit(1000); // as the conversion driver bounds it
        command.CommandLine =
            "sh -c \"yes '" + line + "' | head -n " + QByteArray::number(count) + '"';
        qint64 seen = 0;
        command.OnNewLine = [&](TDosCommand*, const QByteArray& text, TOutputType type) {
            if (type == otCompleteLine && text == line)
                ++seen;
        };
        const qint64 before = residentKiB();
        QCOMPARE(command.Execute(), 0u);
        QCOMPARE(seen, qint64(count));
        const QList<QByteArray> kept = command.DeliveredLines.toList();
        QCOMPARE(kept.size(), 1000);
        QCOMPARE(kept.last(), line);
        // Two million kept lines took 340 MB here. AddressSanitizer holds freed memory back,
        // so only a plain build can tell.
#ifndef __SANITIZE_ADDRESS__
        const qint64 grownKiB = residentKiB() - before;
        QVERIFY2(grownKiB < 16 * 1024, QByteArray::number(grownKiB));
#else
        Q_UNUSED(before);
#endif
    }
};

QTEST_GUILESS_MAIN(TestDosCommand)
#include "tst_doscommand.moc"
