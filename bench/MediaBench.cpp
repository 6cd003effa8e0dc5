#include "bench/MediaBench.h"

#include "platform/Process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace tovilo::bench {

double childrenProcessor()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double machineBusy()
{
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    double busy = 0;
    for (int i = 1; i < fields.size() && i <= 8; ++i) {
        if (i != 4 && i != 5) // idle, iowait
            busy += fields[i].toDouble();
    }
    return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Timed run(const std::vector<std::string>& args)
{
    QList<QByteArray> argv;
    for (const std::string& arg : args)
        argv.append(QByteArray::fromStdString(arg));
    const double processor = childrenProcessor();
    const double busy = machineBusy();
    QElapsedTimer clock;
    clock.start();
    const CommandResult result = runCommand(argv, -1, CommandOutput::CollectWithError);
    Timed timed;
    timed.wall = clock.nsecsElapsed() / 1e9;
    timed.processor = childrenProcessor() - processor;
    timed.others = std::max(0.0, machineBusy() - busy - timed.processor);
    timed.status = result.startError != 0 ? -1 : static_cast<int>(result.exitCode);
    timed.output = result.output;
    return timed;
}

bool ok(const Timed& timed, const std::string& what)
{
    if (timed.status == 0)
        return true;
    std::fprintf(stderr, "%s failed (%d):\n%s\n", what.c_str(), timed.status,
                 timed.output.right(3000).constData());
    return false;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t count = values.size();
    return count == 0  ? 0
           : count % 2 ? values[count / 2]
                       : (values[count / 2 - 1] + values[count / 2]) / 2;
}

double videoBytes(const QString& file)
{
    const Timed probe =
        run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
             "stream=bit_rate,duration", "-of", "default=nw=1:nk=1", "file:" + file.toStdString()});
    const QList<QByteArray> values = probe.output.trimmed().split('\n');
    return values.size() == 2 ? values[0].toDouble() * values[1].toDouble() / 8 : 0;
}

std::vector<std::string> handBrakeCommand(const HandBrakeJob& job)
{
    const auto n = [](int value) { return std::to_string(value); };
    const bool large = job.width > 320;
    std::vector<std::string> args = {
        "HandBrakeCLI", "-Z", "Apple 540p30 Surround", "-i", job.source, "-o", job.output, "-f",
        "av_mp4", "-b", n(job.videoKbit), "-w", n(job.width), "-l", n(job.height), "--crop",
        "0:0:0:0", "--non-anamorphic", "-r", n(job.frameRate), "--cfr",
        // Its comb detection would take a still's fine detail for combing; interlaced sources
        // get its deinterlacer on every frame instead.
        "--no-comb-detect", "--no-decomb",
        job.interlaced ? "--deinterlace=default" : "--no-deinterlace",
        job.onePass ? "--no-two-pass" : "--two-pass", "-a", "1", "-E", "av_aac", "-B",
        n(job.audioKbit), "-R", job.sampleRate == 48000 ? "48" : "44.1", "-6", "stereo"};
    if (job.codec == 0) {
        args.insert(args.end(), {"-e", "mpeg4"});
    } else {
        // Told what the iPods decode.
        args.insert(args.end(), {"-I", "-e", "x264", "--encoder-profile", "baseline",
                                 "--encoder-level", large ? "3.0" : "1.3", "-x",
                                 large ? "vbv-maxrate=1500:vbv-bufsize=2000:ref=1"
                                       : "vbv-maxrate=768:vbv-bufsize=2000"});
    }
    return args;
}

bool haveTools()
{
    for (const char* tool : {"ffmpeg", "ffprobe", "HandBrakeCLI"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            std::fprintf(stderr, "%s not found (HandBrakeCLI: apt-get install handbrake-cli)\n",
                         tool);
            return false;
        }
    }
    return true;
}

} // namespace tovilo::bench
