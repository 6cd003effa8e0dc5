// Hand-over benchmark: 40 converted episodes handed by the main window to an iPod on a
// loop-mounted ext4 image (root only), each read first for what it is and whether it fits.
// Reports the window thread's longest stall (the largest gap between ticks of a 10 ms timer on
// that thread) while the hand-over runs, and its wall time from the hand-over's start until its
// completion message. To repeat it:
//   cmake -S . -B build-bench -G Ninja -DTOVILO_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target bench_handover
//   sudo build-bench/bench/bench_handover [files] [rounds]
// The same source builds against a tree from before the hand-over moved to a worker, for the
// reference: copy it into that tree's bench/ with the same CMake lines.
#include "app/UnitMain.h"
#include "common/FakeServices.h"
#include "engine/ConversionEngine.h"
#include "platform/Process.h"
#if __has_include("devices/MediaLibrary.h")
#include "devices/MediaLibrary.h"
#else
#include "platform/MediaLibrary.h"
#endif

#include <gpod/itdb.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

using namespace tovilo;
using namespace tovilo::test;

namespace {

bool run(const QList<QByteArray>& argv)
{
    const CommandResult result = runCommand(argv, 600000, CommandOutput::Discard);
    if (result.startError != 0 || result.timedOut || result.exitCode != 0) {
        std::fprintf(stderr, "failed: %s\n", argv.join(' ').constData());
        return false;
    }
    return true;
}

// The job list, wherever the tree keeps it.
template <typename Form> ThConvertInfoObjectList& jobsOf(Form& form)
{
    if constexpr (requires { form.JobList; })
        return *form.JobList;
    else
        return form.engine().jobs();
}

// Starts the hand-over as the window's timer does: by the engine, or in a tree from before
// the engine had it, by the window's own operation.
template <typename Form> void startHandOver(Form& form)
{
    if constexpr (requires { form.engine().handOver().AddToiTunes(); })
        form.engine().handOver().AddToiTunes();
    else if constexpr (requires { form.engine().startHandOver(); })
        form.engine().startHandOver();
    else
        form.AddToiTunes();
}

struct Round
{
    double wallSeconds = 0;
    double longestStallMs = 0;
    double longestStallEndsAt = 0; // seconds into the hand-over
    bool ok = false;
};

// One hand-over of `files` copies of `clip` onto a freshly set-up device at `mountPoint`.
Round handOver(const QByteArray& mountPoint, const QByteArray& clip, const QString& work, int files)
{
    Round round;
    QDir(QFile::decodeName(mountPoint) + QStringLiteral("/iPod_Control")).removeRecursively();
    GError* error = nullptr;
    if (!itdb_init_ipod(mountPoint.constData(), "MA446", "IPOD", &error)) {
        std::fprintf(stderr, "cannot set up the iPod\n");
        return round;
    }
    sync();

    FakePrompt prompt;
    FakeShell shell;
    FakeDrives drives;
    shell.documents = QFile::encodeName(work + QStringLiteral("/Documents"));
    QDir().mkpath(QFile::decodeName(shell.documents));
    IpodLibraryFactory library = IpodLibraryFactory::withMountPoints({mountPoint});
    TFormMain form(Services{prompt, shell, drives, library});
    for (int i = 0; i < files; ++i) {
        // Episodes of one show, filed by the name as a file without tags is.
        const QByteArray output =
            QFile::encodeName(work) + "/out/番組 第" + QByteArray::number(i + 1) + "話.mp4";
        if (!QFile::exists(QFile::decodeName(output)) &&
            !QFile::copy(QFile::decodeName(clip), QFile::decodeName(output)))
            return round;
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(output);
        job->setOutputPath(output);
        job->Status = csConverted;
        jobsOf(form).Add(std::move(job));
    }
    form.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    qint64 lastTick = -1;
    qint64 longest = 0;
    qint64 longestAt = 0;
    QTimer ticks;
    ticks.setInterval(10);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick >= 0 && now - lastTick > longest) {
            longest = now - lastTick;
            longestAt = now;
        }
        lastTick = now;
    });
    clock.start();
    ticks.start();
    lastTick = clock.nsecsElapsed();
    startHandOver(form);
    // Before the worker, the call itself does the whole hand-over; after, the loop waits for
    // its completion message, blocking between events as the program's own loop does.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!prompt.informations.isEmpty() || clock.elapsed() > 600000)
            loop.quit();
    });
    poll.start(5);
    if (prompt.informations.isEmpty())
        loop.exec();
    round.wallSeconds = clock.nsecsElapsed() / 1e9;
    // The last tick before the end counts as well.
    longest = std::max(longest, clock.nsecsElapsed() - lastTick);
    ticks.stop();
    round.longestStallMs = longest / 1e6;
    round.longestStallEndsAt = longestAt / 1e9;
    int transferred = 0;
    for (int i = 0; i < jobsOf(form).Count(); ++i)
        transferred += jobsOf(form).Items(i)->Status == csTransferred ? 1 : 0;
    round.ok = transferred == files &&
               prompt.informations.value(0).startsWith(QStringLiteral("変換・iTunesへの転送"));
    if (!round.ok)
        std::fprintf(stderr, "only %d of %d transferred; %s\n", transferred, files,
                     qPrintable(prompt.informations.join(QLatin1Char('|'))));
    return round;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 40;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_handover mounts a loop image: run it as root\n");
        return 2;
    }
    QTemporaryDir work;
    const QString dir = work.path();
    const QByteArray image = QFile::encodeName(dir + QStringLiteral("/ipod.img"));
    const QByteArray mountPoint = QFile::encodeName(dir + QStringLiteral("/IPOD"));
    const QByteArray clip = QFile::encodeName(dir + QStringLiteral("/clip.mp4"));
    QDir().mkpath(dir + QStringLiteral("/IPOD"));
    QDir().mkpath(dir + QStringLiteral("/out"));
    // A converted episode: 20 s of 320x240 MPEG-4 and AAC, about 2 MB.
    if (!run({"ffmpeg",
              "-v",
              "error",
              "-f",
              "lavfi",
              "-i",
              "testsrc=size=320x240:rate=30",
              "-f",
              "lavfi",
              "-i",
              "sine=frequency=440",
              "-t",
              "20",
              "-c:v",
              "mpeg4",
              "-b:v",
              "700k",
              "-c:a",
              "aac",
              "-b:a",
              "128k",
              "-y",
              clip}) ||
        !run({"truncate", "-s", "1G", image}) || !run({"mkfs.ext4", "-q", "-F", image}) ||
        !run({"mount", "-o", "loop", image, mountPoint}))
        return 1;
    std::vector<double> walls;
    std::vector<double> stalls;
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i) {
        const Round round = handOver(mountPoint, clip, dir, files);
        ok = round.ok;
        walls.push_back(round.wallSeconds);
        stalls.push_back(round.longestStallMs);
        std::printf("round %d: wall %.2f s, longest stall of the window's thread %.0f ms "
                    "(ending %.2f s in)\n",
                    i + 1, round.wallSeconds, round.longestStallMs, round.longestStallEndsAt);
    }
    run({"umount", mountPoint});
    if (!ok)
        return 1;
    std::printf("%d files: median wall %.2f s, median longest stall %.0f ms, worst %.0f ms\n",
                files, median(walls), median(stalls),
                *std::max_element(stalls.begin(), stalls.end()));
    return 0;
}
