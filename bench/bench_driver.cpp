// Conversion driver benchmark. To repeat it:
//   cmake -S /work/main -B /work/build-bench -G Ninja -DTOVILO_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build /work/build-bench --target bench_driver
//   /work/build-bench/bench/bench_driver all
//
//   bench_driver convert [rounds]  a generated 60-second clip converted by the main window
//                                  (mode 1, quality 1) through lib/ffmpeg, alternated (9 times
//                                  each) with Debian's ffmpeg run directly as the wrapper runs
//                                  it (two runs joined by a pipe, planned from the same probe):
//                                  median wall times and their ratio, the window's own
//                                  processor time (its threads, children excluded) as a share
//                                  of one core, against the bench's while it runs ffmpeg
//   bench_driver queue [jobs]      a queue of jobs on a stand-in encoder that exits at once:
//                                  peak memory, peak threads, time per job, against spawning
//                                  the stand-in as often with a plain runCommand and claiming
//                                  an output name for each as the driver does. Without a count,
//                                  queues of 500, 2000 and 5000 jobs, each in a fresh process,
//                                  and how much the cost per job grows with the queue. The
//                                  queue is kept on disk as the program keeps it; the cost of
//                                  one save of the whole queue and of one change are reported
//   bench_driver all               both, each in a fresh process
// The window runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeServices.h"
#include "encoder/plan/PictureFilter.h"
#include "encoder/plan/PipelineArgs.h"
#include "encoder/plan/SourceProbe.h"
#include "encoder/plan/TrackPlan.h"
#include "encoder/plan/WrapperArgs.h"
#include "encoder/run/WatchedRun.h"
#include "engine/ConversionEngine.h"
#include "engine/QueueStore.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "ui/FrameworkError.h"
#include "widgets/pngextra.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace tovilo;
using namespace tovilo::test;

namespace {

const QString Completed = QStringLiteral("変換が完了しました");

struct Usage
{
    double self = 0;     // this process, all its threads
    double children = 0; // reaped children and what they reaped
};

double seconds(const timeval& t)
{
    return t.tv_sec + t.tv_usec / 1e6;
}

Usage usageNow()
{
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return {seconds(self.ru_utime) + seconds(self.ru_stime),
            seconds(children.ru_utime) + seconds(children.ru_stime)};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void printLoad()
{
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly))
        std::printf("load average (1, 5, 15 min, runnable/threads): %s",
                    load.readLine().constData());
    std::printf("processors online: %ld\n", sysconf(_SC_NPROCESSORS_ONLN));
}

// Runs a program (looked up on PATH when its name has no "/") with input from /dev/null and
// its output read from a pipe and dropped, or sent to /dev/null. The exit status, 128 + signal
// when killed, -1 when it could not be started.
int runProgram(const std::vector<std::string>& args, bool readOutput)
{
    QList<QByteArray> argv;
    for (const std::string& arg : args)
        argv.append(QByteArray::fromStdString(arg));
    const tovilo::CommandResult result = tovilo::runCommand(
        argv, -1,
        readOutput ? tovilo::CommandOutput::CollectWithError : tovilo::CommandOutput::Discard);
    return result.startError != 0 ? -1 : static_cast<int>(result.exitCode);
}

// A working folder whose lib/ffmpeg is the given encoder, made current for the window, and the
// main window on fake services with its output going to out/.
class Bench
{
public:
    explicit Bench(const QString& encoder)
    {
        m_previous = QDir::currentPath();
        QDir work(m_work.path());
        work.mkpath(QStringLiteral("lib"));
        work.mkpath(QStringLiteral("src"));
        work.mkpath(QStringLiteral("out"));
        work.mkpath(QStringLiteral("Documents"));
        if (!QFile::link(encoder, work.filePath(QStringLiteral("lib/ffmpeg"))))
            std::fprintf(stderr, "cannot link lib/ffmpeg to %s\n", qPrintable(encoder));
        QDir::setCurrent(m_work.path());
        setFrameworkErrorReporter([this](const QString& text) { m_errors << text; });
        m_shell.documents = QFile::encodeName(work.filePath(QStringLiteral("Documents")));
        Services services{m_prompt, m_shell, m_drives, m_noDevice};
        services.keepQueue = true; // as the program runs
        m_form = std::make_unique<TFormMain>(services);
        m_form->engine().jobs().Settings.Quality = 1;
        m_form->engine().jobs().Settings.Ratio = 0;
        m_form->engine().jobs().Settings.OpenDir = false;
        m_form->engine().jobs().Settings.SaveDir =
            QFile::encodeName(work.filePath(QStringLiteral("out/")));
        // Shown, as the user sees it: progress repaints the label.
        m_form->show();
        QCoreApplication::processEvents();
    }
    ~Bench()
    {
        m_form.reset();
        setFrameworkErrorReporter({});
        QDir::setCurrent(m_previous);
    }

    QString path(const QString& name) const { return m_work.filePath(name); }
    TFormMain& form() { return *m_form; }

    // Presses the video button and returns when the queue is done and the window idle again.
    // False when the run did not end as a clean success.
    bool convertAll()
    {
        m_prompt.informations.clear();
        QEventLoop loop;
        // The message comes before the window turns idle; quit once the handler has returned.
        m_prompt.onInformation = [&loop](const QString&) {
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        };
        auto* convert = control<TPNGButton>(*m_form, "PngBtnConvertMovie");
        QTest::mouseClick(convert, Qt::LeftButton);
        loop.exec();
        m_prompt.onInformation = nullptr;
        bool ok = m_errors.isEmpty() && m_prompt.informations == QStringList{Completed} &&
                  convert->isEnabled();
        for (int i = 0; i < m_form->engine().jobs().Count(); ++i)
            ok = ok && m_form->engine().jobs().Items(i)->Status == csConverted;
        if (!ok)
            std::fprintf(
                stderr, "the run did not end cleanly: %s\n",
                qPrintable((m_errors + m_prompt.informations).join(QStringLiteral(" | "))));
        return ok;
    }

private:
    QTemporaryDir m_work;
    QString m_previous;
    FakePrompt m_prompt;
    FakeShell m_shell;
    FakeDrives m_drives;
    NoMediaDevice m_noDevice;
    QStringList m_errors;
    std::unique_ptr<TFormMain> m_form;
};

// ---------------------------------------------------------------- convert

struct Sample
{
    double wall = 0;
    double self = 0;
    double children = 0;
};

// The driver's own time per job, free of ffmpeg's variation: one-job queues on the stand-in
// encoder against spawning the stand-in and reading its output.
struct FixedCost
{
    double driver = -1;
    double spawn = -1;
};

FixedCost fixedCost(int runs)
{
    Bench bench(QStringLiteral(BENCH_STAND_IN));
    TFormMain& form = bench.form();
    std::vector<double> driver;
    std::vector<double> spawn;
    for (int i = 0; i < runs; ++i) {
        form.engine().purgeFinishedJobs();
        form.engine().jobs().AddSource(
            QFile::encodeName(bench.path(QStringLiteral("src/clip.avi"))));
        QElapsedTimer clock;
        clock.start();
        if (!bench.convertAll())
            return {};
        driver.push_back(clock.nsecsElapsed() / 1e9);
        clock.restart();
        if (runProgram({BENCH_STAND_IN, "-y", "-i", "src/clip.avi", "out/clip.mp4"}, true) != 0)
            return {};
        spawn.push_back(clock.nsecsElapsed() / 1e9);
    }
    return {median(driver), median(spawn)};
}

int benchConvert(int rounds)
{
    printLoad();
    constexpr int fixedRuns = 50;
    const FixedCost fixed = fixedCost(fixedRuns);
    if (fixed.driver < 0) {
        std::fprintf(stderr, "the one-job queues on the stand-in failed\n");
        return 1;
    }
    Bench bench(QStringLiteral(BENCH_WRAPPER));
    const std::string clip =
        QFile::encodeName(bench.path(QStringLiteral("src/clip.avi"))).toStdString();
    if (runProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=duration=60:size=640x480:rate=30", "-f", "lavfi", "-i",
                    "sine=duration=60", "-c:v", "mpeg4", "-c:a", "mp3", clip},
                   true) != 0) {
        std::fprintf(stderr, "cannot generate the clip with ffmpeg\n");
        return 1;
    }
    TFormMain& form = bench.form();
    const QByteArray output = form.engine().jobs().Settings.SaveDir + "clip.mp4";

    // Exactly what the wrapper would run for this job: its two ffmpeg runs joined by a pipe,
    // planned from the same probe of the source.
    std::vector<PipelineStage> direct(2);
    {
        std::vector<std::string> dialect;
        for (const QByteArray& arg : splitCommandLine(
                 form.engine().jobs().BuildArguments(QByteArray::fromStdString(clip), output)))
            dialect.push_back(arg.toStdString());
        try {
            const WrapperRequest request = parseWrapperArguments(dialect);
            Watch watch;
            const SourceInfo source = probeSource("/usr/bin/ffmpeg", request, watch);
            const PipelineArguments stages = pipelineArguments(
                mapArguments(request, mapOptionsFor(request, source, {})), pictureColours(source));
            direct[0].argv = stages.decode;
            direct[1].argv = stages.encode;
        } catch (const ArgumentError& error) {
            std::fprintf(stderr, "the wrapper refuses the driver's arguments: %s\n", error.what());
            return 1;
        }
        for (PipelineStage& stage : direct)
            stage.argv.insert(stage.argv.begin(), "ffmpeg");
        // Read and dropped, as the wrapper reads both.
        direct[0].onOutput = direct[1].onOutput = [](std::string_view) { return true; };
    }

    const auto throughDriver = [&]() -> std::optional<Sample> {
        form.engine().purgeFinishedJobs();
        form.engine().jobs().AddSource(QByteArray::fromStdString(clip));
        const Usage before = usageNow();
        QElapsedTimer clock;
        clock.start();
        const bool ok = bench.convertAll();
        const double wall = clock.nsecsElapsed() / 1e9;
        const Usage after = usageNow();
        const QString written = form.engine().jobs().Items(0)->OutputFile;
        if (!ok || written != QString::fromUtf8(output) || QFile(written).size() < 100000)
            return std::nullopt;
        QFile::remove(written);
        return Sample{wall, after.self - before.self, after.children - before.children};
    };
    const auto directly = [&]() -> std::optional<Sample> {
        const Usage before = usageNow();
        QElapsedTimer clock;
        clock.start();
        const std::vector<RunResult> ends = runPipeline(direct, RunOptions{});
        const int status = ends[0].exitCode == 0 ? static_cast<int>(ends[1].exitCode) : -1;
        const double wall = clock.nsecsElapsed() / 1e9;
        const Usage after = usageNow();
        if (status != 0 || QFile(QString::fromUtf8(output)).size() < 100000)
            return std::nullopt;
        QFile::remove(QString::fromUtf8(output));
        return Sample{wall, after.self - before.self, after.children - before.children};
    };

    std::string directLine;
    for (const PipelineStage& stage : direct) {
        directLine += directLine.empty() ? "" : " | ";
        for (const std::string& arg : stage.argv)
            directLine += arg + " ";
    }
    std::printf("convert: 60 s of 640x480 mpeg4+mp3 to quality 1 (320x240 mp4), %d rounds each, "
                "alternated\n  direct: %s\n",
                rounds, directLine.c_str());
    std::vector<Sample> driverSamples;
    std::vector<Sample> directSamples;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so that a drift in the machine's load favours neither.
        for (int turn = 0; turn < 2; ++turn) {
            const bool driverTurn = (round + turn) % 2 == 0;
            const std::optional<Sample> sample = driverTurn ? throughDriver() : directly();
            if (!sample) {
                std::fprintf(stderr, "%s conversion failed\n", driverTurn ? "driver" : "direct");
                return 1;
            }
            (driverTurn ? driverSamples : directSamples).push_back(*sample);
            std::printf("  round %d %-7s wall %7.3f s  own processor %6.3f s (%5.2f %%)  "
                        "children %7.3f s\n",
                        round + 1, driverTurn ? "driver" : "direct", sample->wall, sample->self,
                        100 * sample->self / sample->wall, sample->children);
            std::fflush(stdout);
        }
    }

    const auto medianOf = [](const std::vector<Sample>& samples, double Sample::*field) {
        std::vector<double> values;
        for (const Sample& s : samples)
            values.push_back(s.*field);
        return median(values);
    };
    const auto shares = [](const std::vector<Sample>& samples) {
        std::vector<double> values;
        for (const Sample& s : samples)
            values.push_back(100 * s.self / s.wall);
        return median(values);
    };
    const double driverWall = medianOf(driverSamples, &Sample::wall);
    const double directWall = medianOf(directSamples, &Sample::wall);
    const double driverChildren = medianOf(driverSamples, &Sample::children);
    const double directChildren = medianOf(directSamples, &Sample::children);
    const auto fastest = [](const std::vector<Sample>& samples) {
        double best = samples.front().wall;
        for (const Sample& s : samples)
            best = std::min(best, s.wall);
        return best;
    };
    std::printf("1. overhead: median wall driver %.3f s, direct ffmpeg %.3f s, ratio "
                "driver/direct %.4f (aim <= 1.03)\n",
                driverWall, directWall, driverWall / directWall);
    // Other work on the machine only ever adds time: the fastest runs are the least disturbed.
    std::printf("   fastest wall driver %.3f s, direct ffmpeg %.3f s, ratio %.4f\n",
                fastest(driverSamples), fastest(directSamples),
                fastest(driverSamples) / fastest(directSamples));
    std::vector<double> pairs;
    for (int i = 0; i < rounds; ++i)
        pairs.push_back(driverSamples[i].wall / directSamples[i].wall);
    std::printf("   median of the ratios within each round %.4f\n", median(pairs));
    std::printf(
        "   the driver's own time per conversion (%d one-job queues on a stand-in encoder): "
        "median %.3f ms against %.3f ms to spawn the stand-in and read its output; the "
        "difference is %.3f %% of the direct conversion\n",
        fixedRuns, 1000 * fixed.driver, 1000 * fixed.spawn,
        100 * (fixed.driver - fixed.spawn) / directWall);
    std::printf("   processor of the children: median lib/ffmpeg+ffmpeg %.3f s, ffmpeg %.3f s, "
                "ratio %.4f\n",
                driverChildren, directChildren, driverChildren / directChildren);
    // Paired within rounds, which the machine's drift touches alike.
    std::vector<double> cpuCosts;
    std::vector<double> wallCosts;
    for (int i = 0; i < rounds; ++i) {
        cpuCosts.push_back(driverSamples[i].children + driverSamples[i].self -
                           directSamples[i].children - directSamples[i].self);
        wallCosts.push_back(driverSamples[i].wall - directSamples[i].wall);
    }
    std::printf("   the program's cost over the wrapper's bare ffmpeg runs (median of the rounds' "
                "differences): processor %.3f s = %.2f %%, wall %.3f s = %.2f %% of the "
                "children's processor time (aim <= 2 %%)\n",
                median(cpuCosts), 100 * median(cpuCosts) / directChildren, median(wallCosts),
                100 * median(wallCosts) / directChildren);
    std::printf("2. own processor while converting: median %.3f %% of one core (aim < 1 %%); "
                "the bench reading ffmpeg's output directly: %.3f %%\n",
                shares(driverSamples), shares(directSamples));
    printLoad();
    return 0;
}

// ---------------------------------------------------------------- queue

// Peak resident memory in kB from /proc/self/status ("VmHWM"), or the current one ("VmRSS").
long statusKb(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Starts the peak-memory figure afresh from the current resident size.
bool resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

int threadCount()
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        count += entry->d_name[0] != '.';
    ::closedir(tasks);
    return count;
}

// Spawns the stand-in `jobs` times and claims a new output name in `folder` for each, as the
// driver does before each run: the file system's share of a job, which grows with the folder,
// is in the reference too.
double spawnReference(int jobs, const QString& folder)
{
    QDir().mkpath(folder);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < jobs; ++i) {
        const QByteArray name = QFile::encodeName(folder) + "/clip" +
                                QByteArray::number(i).rightJustified(5, '0') + ".mp4";
        const int fd = ::open(name.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 || runProgram({BENCH_STAND_IN, "-y", "-i", "src/clip.avi", name.toStdString()},
                                 false) != 0) {
            std::fprintf(stderr, "the stand-in failed\n");
            return -1;
        }
        ::close(fd);
    }
    return clock.nsecsElapsed() / 1e9;
}

int benchQueue(int jobs)
{
    printLoad();
    Bench bench(QStringLiteral(BENCH_STAND_IN));
    TFormMain& form = bench.form();
    for (int i = 0; i < jobs; ++i)
        form.engine().jobs().AddSource(QFile::encodeName(
            bench.path(QStringLiteral("src/clip%1.avi").arg(i, 5, 10, QLatin1Char('0')))));
    QCoreApplication::processEvents();

    // The plain spawns before and after the queue, so that a change in the load shows.
    const double referenceBefore = spawnReference(jobs, bench.path(QStringLiteral("ref-before")));

    const long rssBefore = statusKb("VmRSS");
    const bool peakReset = resetPeakMemory();
    const int threadsBefore = threadCount();
    int peakThreads = threadsBefore;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    QObject::connect(&sampler, &QTimer::timeout,
                     [&peakThreads] { peakThreads = std::max(peakThreads, threadCount()); });
    sampler.start(2);

    const Usage before = usageNow();
    QElapsedTimer clock;
    clock.start();
    // The last jobs alone, when the list is as long as it gets and nothing is warming up: the
    // cost of one job at this length.
    const int tail = std::min(400, jobs);
    Usage tailStart;
    qint64 tailStartNs = -1;
    QObject::connect(&form.engine().jobs(), &ThConvertInfoObjectList::jobChanged, &form, [&] {
        if (tailStartNs < 0 && form.engine().convertedCount() == jobs - tail) {
            tailStart = usageNow();
            tailStartNs = clock.nsecsElapsed();
        }
    });
    const bool ok = bench.convertAll();
    const double total = clock.nsecsElapsed() / 1e9;
    const Usage after = usageNow();
    sampler.stop();
    const long peak = statusKb("VmHWM");

    // Where the time beyond the spawns goes: a job's status changes when it starts and ends,
    // and the list redraws and the queue is saved from each change.
    constexpr int refreshes = 5;
    QElapsedTimer refreshClock;
    refreshClock.start();
    for (int i = 0; i < refreshes; ++i) {
        ThConvertInfoObjectList& list = form.engine().jobs();
        for (TConvertStatus status : {csConverting, csConverted}) {
            list.SetStatus(*list.Items(i), status);
            // The save, the relayout and the repaint run from the event loop.
            QCoreApplication::processEvents();
        }
    }
    const double refresh = refreshClock.nsecsElapsed() / 1e9 / (2 * refreshes);

    // One save of the whole queue as it stands (a fresh store writes the whole document), and
    // one change saved after it (a journal line), each until it is on disk.
    constexpr int saves = 5;
    QElapsedTimer saveClock;
    double wholeSave = 0;
    double oneChange = 0;
    {
        const QString folder = bench.path(QStringLiteral("saves/"));
        QDir().mkpath(folder);
        ThConvertInfoObjectList& list = form.engine().jobs();
        for (int i = 0; i < saves; ++i) {
            QueueStore store(QFile::encodeName(folder));
            store.restore(list); // nothing there yet: adds nothing
            saveClock.start();
            store.save(list, {true, {}});
            store.flush();
            wholeSave += saveClock.nsecsElapsed() / 1e9 / saves;
            saveClock.start();
            list.Items(i)->Status = csFailed;
            store.save(list, {false, {i}});
            store.flush();
            oneChange += saveClock.nsecsElapsed() / 1e9 / saves;
            list.Items(i)->Status = csConverted;
            QFile::remove(folder + QStringLiteral("queue.json"));
        }
    }

    const double referenceAfter = spawnReference(jobs, bench.path(QStringLiteral("ref-after")));
    if (!ok || referenceBefore < 0 || referenceAfter < 0)
        return 1;
    const double reference = (referenceBefore + referenceAfter) / 2;

    std::printf("3. queue of %d jobs on a stand-in encoder (one progress line, exit 0)\n", jobs);
    std::printf("   total %.3f s, %.3f ms per job; own processor %.3f s (%.1f %% of the wall "
                "time)\n",
                total, 1000 * total / jobs, after.self - before.self,
                100 * (after.self - before.self) / total);
    std::printf("   reference: a plain runCommand of the stand-in and a claimed name, %d times: "
                "%.3f s before, "
                "%.3f s after, mean %.3f ms per spawn\n",
                jobs, referenceBefore, referenceAfter, 1000 * reference / jobs);
    std::printf("   ratio driver/plain spawn: %.2f; driver overhead per job beyond the spawn: "
                "%.3f ms\n",
                total / reference, 1000 * (total - reference) / jobs);
    std::printf("   one status change in %d rows, with the redraw, relayout, repaint and save it "
                "causes: %.3f ms; when each job starts and ends, that is %.3f ms or %.0f %% of "
                "the time per job\n",
                jobs, 1000 * refresh, 2000 * refresh, 100 * 2 * refresh / (total / jobs));
    // Read by the scaling run.
    std::printf(
        "   per job: %d jobs, beyond the spawn %.4f ms, own processor %.4f ms; the last %d: "
        "wall %.4f ms, own processor %.4f ms\n",
        jobs, 1000 * (total - reference) / jobs, 1000 * (after.self - before.self) / jobs, tail,
        (total * 1e9 - tailStartNs) / 1e6 / tail, 1000 * (after.self - tailStart.self) / tail);
    std::printf("   keeping the queue on disk: one save of all %d jobs %.3f ms, one change %.3f "
                "ms (each until it is on disk, mean of %d)\n",
                jobs, 1000 * wholeSave, 1000 * oneChange, saves);
    std::printf("   peak memory (VmHWM) %ld kB%s, resident before the run %ld kB\n", peak,
                peakReset ? " since the run began" : " over the whole process (reset refused)",
                rssBefore);
    std::printf("   peak threads %d (before the run %d), sampled every 2 ms\n", peakThreads,
                threadsBefore);
    printLoad();
    return 0;
}

// Queues of 500, 2000 and 5000 jobs, each in a fresh process: the cost per job should not
// grow with the queue.
int benchQueueScaling()
{
    struct Point
    {
        int jobs;
        double beyondSpawn = -1;
        double own = -1;
        double tailWall = -1;
        double tailOwn = -1;
    };
    std::vector<Point> points{{500}, {2000}, {5000}};
    for (Point& point : points) {
        const tovilo::CommandResult run =
            tovilo::runCommand({"/proc/self/exe", "queue", QByteArray::number(point.jobs)}, -1,
                               tovilo::CommandOutput::Collect);
        std::fputs(run.output.constData(), stdout);
        for (const QByteArray& line : run.output.split('\n')) {
            if (std::sscanf(line.constData(),
                            "   per job: %*d jobs, beyond the spawn %lf ms, own processor %lf ms; "
                            "the last %*d: wall %lf ms, own processor %lf ms",
                            &point.beyondSpawn, &point.own, &point.tailWall, &point.tailOwn) == 4)
                break;
        }
        if (run.exitCode != 0 || point.tailOwn < 0) {
            std::fprintf(stderr, "the queue of %d jobs failed\n", point.jobs);
            return 1;
        }
    }
    std::printf("4. cost per job by queue length (the same within 20 %% is flat)\n");
    for (const Point& point : points)
        std::printf("   %5d jobs: whole queue beyond the spawn %.3f ms, own processor %.3f ms; "
                    "its last jobs: wall %.3f ms, own processor %.3f ms\n",
                    point.jobs, point.beyondSpawn, point.own, point.tailWall, point.tailOwn);
    const auto spread = [&points](double Point::*field) {
        double low = points.front().*field;
        double high = low;
        for (const Point& point : points) {
            low = std::min(low, point.*field);
            high = std::max(high, point.*field);
        }
        return low > 0 ? high / low : 0;
    };
    // The wall time shares the machine; the program's own processor time does not.
    std::printf("   the last jobs, 5000 against 500: own processor %.2f, wall %.2f; largest "
                "against smallest: own processor %.2f, wall %.2f\n",
                points.back().tailOwn / points.front().tailOwn,
                points.back().tailWall / points.front().tailWall, spread(&Point::tailOwn),
                spread(&Point::tailWall));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The stand-in encoder exits at once; the real wrapper does not look at this.
    qputenv("FAKE_ENCODER_MODE", "quick");
    const QByteArray what = argc > 1 ? QByteArray(argv[1]) : QByteArray("all");
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;

    if (what == "all") {
        // Fresh processes: the peak memory of the queue must not include the conversions.
        int result = 0;
        for (const char* part : {"convert", "queue"}) {
            std::fflush(stdout);
            const tovilo::CommandResult run =
                tovilo::runCommand({"/proc/self/exe", part}, -1, tovilo::CommandOutput::Inherit);
            result |= run.startError != 0 || run.exitCode != 0;
        }
        return result;
    }

    QApplication app(argc, argv);
    if (what == "convert")
        return benchConvert(count > 0 ? count : 9);
    if (what == "queue")
        return count > 0 ? benchQueue(count) : benchQueueScaling();
    std::fprintf(stderr, "usage: bench_driver all | convert [rounds] | queue [jobs]\n");
    return 2;
}
