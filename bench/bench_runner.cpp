// Runner benchmark.
//   bench_runner throughput [lines] [rounds]
//                                     lines per second delivered to OnNewLine, against the same
//                                     child's output read straight from a pipe
//   bench_runner idle [seconds]       processor time of the whole program while a child is quiet
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "runner/DosCommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

QByteArray childCommand(const QByteArray& mode, const QByteArray& value)
{
    return tovilo::quoteArgument(BENCH_RUNNER_CHILD) + " runner " + mode + ' ' + value;
}

// Lines per second when the child's output is read from a pipe and only counted.
double plainPipeRate(long lines)
{
    tovilo::Pipe input;
    tovilo::Pipe output;
    if (tovilo::createPipe(input) || tovilo::createPipe(output))
        return 0;
    tovilo::ChildProcess child;
    QElapsedTimer clock;
    clock.start();
    if (child.start(QList<QByteArray>{BENCH_RUNNER_CHILD, "runner", "burst",
                                      QByteArray::number(qlonglong(lines))},
                    input.readEnd.get(), output.writeEnd.get()))
        return 0;
    input.readEnd.reset();
    output.writeEnd.reset();
    static char buffer[1 << 16];
    long seen = 0;
    for (;;) {
        const auto n = tovilo::readSome(output.readEnd.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (qint64 i = 0; i < n; ++i)
            seen += buffer[i] == '\n';
    }
    child.finish();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (seen != lines)
        std::fprintf(stderr, "plain pipe: %ld lines instead of %ld\n", seen, lines);
    return seen / seconds;
}

double runnerRate(long lines)
{
    TDosCommand command;
    long seen = 0;
    command.OnNewLine = [&](TDosCommand*, const QByteArray&, TOutputType type) {
        seen += type == otCompleteLine;
    };
    command.CommandLine = childCommand("burst", QByteArray::number(qlonglong(lines)));
    QElapsedTimer clock;
    clock.start();
    command.Execute();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (seen != lines)
        std::fprintf(stderr, "runner: %ld lines instead of %ld\n", seen, lines);
    return seen / seconds;
}

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray what = argc > 1 ? QByteArray(argv[1]) : QByteArray("throughput");

    if (what == "throughput") {
        // Every delivery is a round trip to the main thread, so the rate depends much on
        // whether the scheduler keeps both threads on one core: take several rounds.
        const long lines = argc > 2 ? std::atol(argv[2]) : 1000000;
        const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            const double plain = plainPipeRate(lines);
            const double runner = runnerRate(lines);
            ratios.push_back(runner / plain);
            std::printf("round %d: plain pipe %.0f lines/s, runner %.0f lines/s, ratio %.4f\n",
                        round + 1, plain, runner, runner / plain);
        }
        std::sort(ratios.begin(), ratios.end());
        std::printf("median ratio runner/plain: %.4f\n", ratios[ratios.size() / 2]);
        return 0;
    }
    if (what == "idle") {
        const QByteArray seconds = argc > 2 ? QByteArray(argv[2]) : QByteArray("10");
        TDosCommand command;
        command.CommandLine = childCommand("quiet", seconds);
        const double before = processorSeconds();
        QElapsedTimer clock;
        clock.start();
        command.Execute();
        const double wall = clock.nsecsElapsed() / 1e9;
        const double used = processorSeconds() - before;
        std::printf("wall %.2f s, processor %.4f s, share of one core: %.3f %%\n", wall, used,
                    100 * used / wall);
        return 0;
    }
    std::fprintf(stderr, "usage: bench_runner throughput [lines] | idle [seconds]\n");
    return 2;
}
