// Tovilo against HandBrake on the kinds of video people have. To repeat it:
//   cmake -S <tree> -B <tree>/build -DCMAKE_BUILD_TYPE=Release -DTOVILO_BENCH=ON
//   cmake --build <tree>/build --target bench_sources
//   <tree>/build/bench/bench_sources [seconds] [runs] [rows] [kinds] [contents]
// ($BENCH_WRAPPER names another lib/ffmpeg to measure; $BENCH_SOURCES a folder where the
// generated sources are kept and taken again; $BENCH_QUIET=0 measures without waiting for a
// quiet machine; $BENCH_ONE_PASS=1 has HandBrake make one pass instead of its preset's two.)
//
// Sources of `seconds` (20), made by ffmpeg in the shapes people have (`kinds`, by letter):
//   x  an Xvid/DivX-style AVI: MPEG-4 ASP with B-frames, 640x480, 23.976 fps, MP3
//   p  a phone's MP4: H.264 High, 1920x1080, 30 fps, AAC
//   t  a broadcast TS: MPEG-2, 1440x1080 interlaced (16:9), 29.97 fps, AAC
//   v  a DVD's VOB: MPEG-2, 720x480 interlaced (16:9), 29.97 fps, AC-3
//   l  a near-lossless copy: H.264 at CRF 8, 640x480, 30 fps, PCM
// each with detailed, grainy, dark and static content (`contents`: d g k s). Each quality row
// of `rows` (01234), at the source's own shape (16:9 sources wide), is converted by lib/ffmpeg
// with the program's MPEG-4 and H.264 command lines and by HandBrakeCLI (package
// handbrake-cli) as MPEG-4 and as iPod-class x264 Baseline, its average rate moved until its
// video is as large as ours (within 3 %; where it cannot come up to our size, ours is made at
// its size for the picture, marked '*'). Timed runs alternate between us and HandBrake,
// `runs` (3) of each; each waits for a quiet machine (at most a minute) and what else ran
// meanwhile is reported ("others", in processor seconds; '~' marks a median over 0.1 core).
// Reported: kB of video, SSIM against the source (deinterlaced by bwdif) scaled to the frame
// with lanczos, median wall seconds and the children's processor seconds; for our MPEG-4 and
// H.264, the processor time of decoding, filtering and encoding measured apart.
// Aims: wall <= 0.8 of HandBrake's, SSIM >= HandBrake's with our video no larger.
#include "bench/MediaBench.h"
#include "encoder/plan/PictureFilter.h"
#include "encoder/plan/PipelineArgs.h"
#include "encoder/plan/SourceProbe.h"
#include "encoder/plan/TrackPlan.h"
#include "encoder/plan/WrapperArgs.h"
#include "encoder/run/WatchedRun.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "queue/ThConvertInfo.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace tovilo;
using namespace tovilo::bench;

namespace {

using Args = std::vector<std::string>;

constexpr double kEqualSize = 0.03;
constexpr double kWallAim = 0.8;
constexpr double kQuietCores = 0.1;

struct Kind
{
    char key;
    const char* name;
    int width;
    int height;
    const char* rate;
    bool interlaced;
    bool wide;
    const char* extension;
    Args encode;
};

const Kind kKinds[] = {
    {'x', "xvid", 640, 480, "24000/1001", false, false, "avi", {"-c:v",  "mpeg4",      "-vtag",
                                                                "XVID",  "-bf",        "2",
                                                                "-b:v",  "1200k",      "-maxrate",
                                                                "2500k", "-bufsize",   "2M",
                                                                "-g",    "250",        "-mbd",
                                                                "rd",    "-flags",     "+mv4+aic",
                                                                "-c:a",  "libmp3lame", "-b:a",
                                                                "128k",  "-ar",        "48000"}},
    {'p', "phone", 1920, 1080, "30", false, true, "mp4", {"-c:v",     "libx264",  "-profile:v",
                                                          "high",     "-preset",  "veryfast",
                                                          "-bf",      "0",        "-b:v",
                                                          "16M",      "-maxrate", "20M",
                                                          "-bufsize", "20M",      "-g",
                                                          "30",       "-c:a",     "aac",
                                                          "-b:a",     "128k",     "-ar",
                                                          "48000"}},
    {'t', "ts", 1440, 1080, "30000/1001", true, true, "ts", {"-c:v",     "mpeg2video",  "-b:v",
                                                             "15M",      "-maxrate",    "20M",
                                                             "-bufsize", "9781248",     "-g",
                                                             "15",       "-bf",         "2",
                                                             "-flags",   "+ilme+ildct", "-top",
                                                             "1",        "-aspect",     "16:9",
                                                             "-c:a",     "aac",         "-b:a",
                                                             "192k",     "-ar",         "48000",
                                                             "-f",       "mpegts"}},
    {'v',
     "vob",
     720,
     480,
     "30000/1001",
     true,
     true,
     "vob",
     {"-target", "ntsc-dvd", "-bf", "2", "-g", "15", "-flags", "+ilme+ildct", "-top", "1",
      "-aspect", "16:9"}},
    {'l',
     "lossless",
     640,
     480,
     "30",
     false,
     false,
     "mkv",
     {"-c:v", "libx264", "-crf", "8", "-preset", "ultrafast", "-c:a", "pcm_s16le"}},
};

struct Content
{
    char key;
    const char* name;
};

const Content kContents[] = {{'d', "detailed"}, {'g', "grainy"}, {'k', "dark"}, {'s', "static"}};

// A still with detail at every scale, made once; each source moves a window of its size over
// it, scaled to one and a half times the source's width.
const char* kStill =
    "nullsrc=s=2880x1800,geq=lum='128+50*sin(X/5.3)*cos(Y/7.1)+35*sin((X+2*Y)/"
    "17)':cb='128+60*sin(X/40)':cr='128+60*cos(Y/33)',noise=alls=30,format=yuv420p";

std::string n(int value)
{
    return std::to_string(value);
}

// The content's filter graph on the scaled still [0], for a frame of w x h; sw x sh is the still.
std::string contentGraph(char content, int w, int h, int sw, int sh)
{
    switch (content) {
    case 'd': // a slow pan over fine detail
        return "crop=" + n(w) + ":" + n(h) + ":x='(iw-" + n(w) + ")/2*(1+sin(t/5))':y='(ih-" +
               n(h) + ")/2*(1+sin(t/7))'";
    case 'g': { // talking heads on a blurred background, with film grain
        const int hw = w * 3 / 10 / 2 * 2;
        const int hh = h * 55 / 100 / 2 * 2;
        return "split=3[a][b][c];[a]crop=" + n(w) + ":" + n(h) + ":0:0,gblur=sigma=" + n(w / 100) +
               "[bg];[b]crop=" + n(hw) + ":" + n(hh) + ":" + n(sw - hw - w / 20) + ":" +
               n(sh - hh - h / 20) + "[h1];[c]crop=" + n(hw) + ":" + n(hh) + ":" + n(w / 3) + ":" +
               n(h / 5) + ",hflip[h2];[bg][h1]overlay=x='" + n(w / 5) + "+" + n(w / 50) +
               "*sin(t*2)':y='" + n(h / 3) + "+" + n(h / 80) +
               "*sin(t*3.1)'[o1];[o1][h2]overlay=x='" + n(w * 3 / 5) + "+" + n(w / 70) +
               "*sin(t*2.7)':y='" + n(h / 3) + "+" + n(h / 70) +
               "*sin(t*1.9)',noise=alls=14:allf=t";
    }
    case 'k': // a dark, low-contrast scene with sensor noise
        return "crop=" + n(w) + ":" + n(h) + ":x='(iw-" + n(w) + ")/2*(1+sin(t/9))':y='(ih-" +
               n(h) + ")/3',eq=brightness=-0.32:contrast=0.45,noise=alls=8:allf=t";
    default: { // a fixed view, one small thing moving, sensor noise (a lecture, a camera)
        const int pw = w / 13 / 2 * 2;
        const int ph = h / 5 / 2 * 2;
        return "split=2[a][b];[a]crop=" + n(w) + ":" + n(h) + ":" + n(sw / 4) + ":" + n(sh / 4) +
               ",gblur=sigma=1.5[bg];[b]crop=" + n(pw) + ":" + n(ph) + ":" + n(sw / 2) + ":" +
               n(sh / 2) + "[p];[bg][p]overlay=x='" + n(w / 2) + "+" + n(w / 5) + "*sin(t/3)':y='" +
               n(h / 2) + "+" + n(h / 60) + "*sin(t*2)',noise=alls=5:allf=t";
    }
    }
}

struct Row
{
    int quality;
    int width; // of the 4:3 frame
    int frameRate;
    int sampleRate;
    int audioKbit;
};

const Row kRows[] = {{0, 640, 30, 48000, 160},
                     {1, 320, 30, 48000, 128},
                     {2, 320, 30, 44100, 128},
                     {3, 320, 30, 44100, 128},
                     {4, 320, 15, 44100, 64}};

int frameHeight(const Row& row, const Kind& kind)
{
    return kind.wide ? row.width * 9 / 16 : row.width * 3 / 4;
}

// ---------------------------------------------------------------- running and timing

bool onePass()
{
    return qEnvironmentVariable("BENCH_ONE_PASS") == QStringLiteral("1");
}

bool quietWanted()
{
    return qEnvironmentVariable("BENCH_QUIET") != QStringLiteral("0");
}

// Waits (a minute at most) until nothing else has kept the machine busy for two seconds.
void waitForQuiet()
{
    if (!quietWanted())
        return;
    QElapsedTimer clock;
    clock.start();
    int quiet = 0;
    while (quiet < 2 && clock.elapsed() < 60000) {
        const double before = machineBusy();
        QThread::msleep(1000);
        quiet = machineBusy() - before < kQuietCores ? quiet + 1 : 0;
    }
}

// ---------------------------------------------------------------- the sources

struct Source
{
    const Kind* kind;
    const Content* content;
    QString file;
    std::map<int, QString> references; // by frame width
};

bool makeSource(const Kind& kind, const Content& content, const QString& folder,
                const QString& still, const QString& file, int seconds)
{
    const int sw = kind.width * 3 / 2;
    const int sh = sw * 1800 / 2880;
    const QString scaled = folder + QStringLiteral("/still-%1.png").arg(kind.width);
    if (!QFile::exists(scaled) &&
        !ok(run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", still.toStdString(), "-vf",
                 "scale=" + n(sw) + ":" + n(sh) + ":flags=lanczos", scaled.toStdString()}),
            "scaling the still"))
        return false;
    // Interlaced sources are made at field rate and woven, so their fields move apart.
    std::string graph = "[0]" + contentGraph(content.key, kind.width, kind.height, sw, sh);
    if (kind.interlaced)
        graph += ",tinterlace=mode=interleave_top,setfield=tff";
    graph += ",format=yuv420p[v];[1][2]amix=inputs=2,aformat=channel_layouts=stereo[a]";
    const std::string length = n(seconds);
    Args args = {"ffmpeg",
                 "-nostdin",
                 "-v",
                 "error",
                 "-y",
                 "-loop",
                 "1",
                 "-framerate",
                 kind.interlaced ? "60000/1001" : kind.rate,
                 "-i",
                 scaled.toStdString(),
                 "-f",
                 "lavfi",
                 "-i",
                 "sine=frequency=440:beep_factor=4:duration=" + length,
                 "-f",
                 "lavfi",
                 "-i",
                 "anoisesrc=color=pink:amplitude=0.05:duration=" + length,
                 "-filter_complex",
                 graph,
                 "-map",
                 "[v]",
                 "-map",
                 "[a]",
                 "-t",
                 length,
                 "-r",
                 kind.rate};
    args.insert(args.end(), kind.encode.begin(), kind.encode.end());
    args.push_back(file.toStdString());
    return ok(run(args), "making " + file.toStdString());
}

// The source as it should look in a frame: deinterlaced, scaled with lanczos, 30 fps.
bool makeReference(const Source& source, int width, int height, const QString& file)
{
    std::string filter = source.kind->interlaced ? "bwdif=mode=send_frame:deint=interlaced," : "";
    filter += "scale=" + n(width) + ":" + n(height) + ":flags=lanczos,fps=30";
    return ok(run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", source.file.toStdString(),
                   "-an", "-vf", filter, "-pix_fmt", "yuv420p", "-c:v", "rawvideo", "-f", "nut",
                   file.toStdString()}),
              "making the reference");
}

// An encoder's frame-rate conversion may show a source frame a reference frame or two earlier
// or later than the reference's does, and duplicate other frames (23.976 to 30 fps): each
// output frame is compared with the reference frames at its time and up to two either side of
// it, and counts with the one it matches best. At 15 fps the reference frames are those of
// 30 fps.
double ssim(const QString& file, const QString& reference, const Row& row, const QString& work)
{
    constexpr int kReach = 2;
    constexpr int kCount = 2 * kReach + 1;
    const std::string rate = n(row.frameRate);
    const int step = 30 / row.frameRate;
    std::string graph = "[0]split=" + n(kCount);
    std::string references = ";[1]split=" + n(kCount);
    std::string pairs;
    QStringList stats;
    int outputTrim[kCount];
    for (int i = 0; i < kCount; ++i) {
        // Output frame k against reference frame step * k + offset = step * (k + ahead) + first.
        const int offset = i - kReach;
        const int ahead =
            (offset - (step - 1)) / step * (offset < 0) + offset / step * (offset >= 0);
        const int first = offset - ahead * step;
        outputTrim[i] = std::max(-ahead, 0);
        stats << work + QStringLiteral("/ssim%1.log").arg(i);
        graph += "[o" + n(i) + "]";
        references += "[r" + n(i) + "]";
        pairs += ";[o" + n(i) + "]trim=start_frame=" + n(outputTrim[i]) + ",setpts=N/" + rate +
                 "/TB[a" + n(i) + "];[r" + n(i) + "]select='eq(mod(n," + n(step) + ")," + n(first) +
                 ")',trim=start_frame=" + n(std::max(ahead, 0)) + ",setpts=N/" + rate + "/TB[b" +
                 n(i) + "];[a" + n(i) + "][b" + n(i) +
                 "]ssim=stats_file=" + stats.last().toStdString();
    }
    graph += references + pairs;
    const Timed timed =
        run({"ffmpeg", "-nostdin", "-hide_banner", "-i", "file:" + file.toStdString(), "-i",
             "file:" + reference.toStdString(), "-lavfi", graph, "-f", "null", "-"});
    if (timed.status != 0)
        return -1;
    std::vector<double> best;
    for (int i = 0; i < kCount; ++i) {
        QFile log(stats[i]);
        if (!log.open(QIODevice::ReadOnly))
            return -1;
        const QRegularExpression all(QStringLiteral("All:([0-9.]+)"));
        size_t frame = static_cast<size_t>(outputTrim[i]);
        for (const QByteArray& line : log.readAll().split('\n')) {
            const auto match = all.match(QString::fromUtf8(line));
            if (!match.hasMatch())
                continue;
            if (best.size() <= frame)
                best.resize(frame + 1, 0);
            best[frame] = std::max(best[frame], match.captured(1).toDouble());
            ++frame;
        }
        log.remove();
    }
    double sum = 0;
    for (double value : best)
        sum += value;
    return best.empty() ? -1 : sum / static_cast<double>(best.size());
}

// ---------------------------------------------------------------- the commands

QString wrapperPath()
{
    return qEnvironmentVariableIsEmpty("BENCH_WRAPPER") ? QStringLiteral(BENCH_WRAPPER)
                                                        : qEnvironmentVariable("BENCH_WRAPPER");
}

Args wrapperCommand(const Source& source, const QString& output, const Row& row, int codec)
{
    ThConvertInfoObjectList queue;
    queue.Settings.Quality = static_cast<std::uint8_t>(row.quality);
    queue.Settings.Ratio = source.kind->wide ? 1 : 0;
    queue.Settings.Codec = static_cast<std::uint8_t>(codec);
    Args args = {wrapperPath().toStdString()};
    for (const QByteArray& arg : splitCommandLine(
             queue.BuildArguments(QFile::encodeName(source.file), QFile::encodeName(output))))
        args.push_back(arg.toStdString());
    return args;
}

Args handBrakeCommand(const Source& source, const QString& output, const Row& row, int codec,
                      int videoKbit)
{
    return tovilo::bench::handBrakeCommand({source.file.toStdString(), output.toStdString(),
                                            row.width, frameHeight(row, *source.kind),
                                            row.frameRate, row.audioKbit, row.sampleRate, codec,
                                            videoKbit, source.kind->interlaced, onePass()});
}

// What the wrapper runs for a conversion: its two ffmpeg runs, planned as it plans them, the
// one run's arguments changed first by `edit`.
PipelineArguments wrapperStages(const Source& source, const QString& output, const Row& row,
                                int codec, const std::function<void(Args&)>& edit = {})
{
    Args dialect = wrapperCommand(source, output, row, codec);
    dialect.erase(dialect.begin());
    const WrapperRequest request = parseWrapperArguments(dialect);
    Watch watch;
    const SourceInfo info = probeSource(
        QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).toStdString(), request, watch);
    Args oneRun = mapArguments(request, mapOptionsFor(request, info, {}));
    if (edit)
        edit(oneRun);
    return pipelineArguments(oneRun, pictureColours(info));
}

// The wrapper's two runs at an average rate instead of the row's: its picture at another size.
bool runAtRate(const Source& source, const QString& output, const Row& row, int codec,
               int videoKbit)
{
    const PipelineArguments stages = wrapperStages(source, output, row, codec, [&](Args& args) {
        const auto rate = std::find(args.begin(), args.end(), codec == 0 ? "-b:v" : "-crf");
        *rate = "-b:v";
        *(rate + 1) = n(videoKbit) + "k";
        if (codec == 0) {
            *(std::find(args.begin(), args.end(), "-bt") + 1) = n(videoKbit / 4) + "k";
        } else {
            const auto cap = std::find(args.begin(), args.end(), "-maxrate") + 1;
            *cap = n(std::min(std::stoi(*cap), videoKbit)) + "k";
        }
    });
    std::vector<PipelineStage> pipeline(2);
    pipeline[0].argv = stages.decode;
    pipeline[1].argv = stages.encode;
    for (PipelineStage& stage : pipeline)
        stage.argv.insert(stage.argv.begin(), "ffmpeg");
    const std::vector<RunResult> ends = runPipeline(pipeline, RunOptions{});
    return ends[0].exitCode == 0 && ends[1].exitCode == 0;
}

// ---------------------------------------------------------------- measuring

struct Result
{
    double bytes = 0; // video only
    double ssim = 0;
    double wall = 0;
    double cpu = 0;
    double others = 0;
};

struct Split
{
    double decode = 0;
    double filter = 0;
    double encode = 0;
};

// Processor time of decoding, filtering and encoding measured apart: the decoding side alone
// without its filters, then with them, then the encoding side alone on what it wrote.
bool measureSplit(const Source& source, const Row& row, int codec, const QString& work,
                  double decodeOnly, Split& split)
{
    const QString raw = work + QStringLiteral("/split.nut");
    const QString out = work + QStringLiteral("/split.mp4");
    PipelineArguments stages = wrapperStages(source, out, row, codec);
    stages.decode.back() = "file:" + raw.toStdString();
    stages.decode.insert(stages.decode.begin(), {"ffmpeg", "-y"});
    const Timed decode = run(stages.decode);
    if (!ok(decode, "the decoding side alone"))
        return false;
    *std::find(stages.encode.begin(), stages.encode.end(), "pipe:0") = "file:" + raw.toStdString();
    stages.encode.back() = "file:" + out.toStdString();
    stages.encode.insert(stages.encode.begin(), "ffmpeg");
    const Timed encode = run(stages.encode);
    QFile::remove(raw);
    QFile::remove(out);
    if (!ok(encode, "the encoding side alone"))
        return false;
    split = {decodeOnly, std::max(0.0, decode.processor - decodeOnly), encode.processor};
    return true;
}

void addSample(std::vector<double>* samples, const Timed& timed)
{
    samples[0].push_back(timed.wall);
    samples[1].push_back(timed.processor);
    samples[2].push_back(timed.others);
}

void finish(Result& result, std::vector<double>* samples)
{
    result.wall = median(samples[0]);
    result.cpu = median(samples[1]);
    result.others = median(samples[2]);
}

// Ours and HandBrake's for one codec: HandBrake's rate moved until its video is as large as
// ours, then `runs` timed runs of each, alternated.
bool measurePair(const Source& source, const Row& row, int codec, int runs, double seconds,
                 const QString& work, Result& ours, Result& theirs)
{
    const QString ourFile = work + QStringLiteral("/ours.mp4");
    const QString theirFile = work + QStringLiteral("/theirs.mp4");
    const Args ourCommand = wrapperCommand(source, ourFile, row, codec);
    std::vector<double> ourSamples[3];
    std::vector<double> theirSamples[3];
    waitForQuiet();
    Timed timed = run(ourCommand);
    if (!ok(timed, "Tovilo"))
        return false;
    addSample(ourSamples, timed);
    ours.bytes = videoBytes(ourFile);

    double kbit = ours.bytes * 8 / seconds / 1000;
    Args theirCommand;
    for (int attempt = 0; attempt < 4; ++attempt) {
        theirCommand =
            handBrakeCommand(source, theirFile, row, codec, static_cast<int>(kbit + 0.5));
        waitForQuiet();
        timed = run(theirCommand);
        if (!ok(timed, "HandBrake"))
            return false;
        theirs.bytes = videoBytes(theirFile);
        if (std::abs(theirs.bytes / ours.bytes - 1) <= kEqualSize / 2 || attempt == 3)
            break;
        kbit *= ours.bytes / theirs.bytes;
    }
    addSample(theirSamples, timed); // the run at the rate kept counts
    for (int i = 1; i < runs; ++i) {
        waitForQuiet();
        timed = run(ourCommand);
        if (!ok(timed, "Tovilo"))
            return false;
        addSample(ourSamples, timed);
        waitForQuiet();
        timed = run(theirCommand);
        if (!ok(timed, "HandBrake"))
            return false;
        addSample(theirSamples, timed);
    }
    finish(ours, ourSamples);
    finish(theirs, theirSamples);
    return true;
}

void print(const Result& result)
{
    std::printf(" %5.0f %.4f %5.2f %5.2f%s |", result.bytes / 1000, result.ssim, result.wall,
                result.cpu, result.others > kQuietCores * result.wall ? "~" : " ");
}

// The worst of each check over the contents of one kind and row.
struct Worst
{
    double wallRatio[2] = {0, 0};
    double ssimLead[2] = {1, 1};
    double sizeRatio[2] = {0, 0};
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QByteArray rows = argc > 3 ? QByteArray(argv[3]) : QByteArray("01234");
    const QByteArray kinds = argc > 4 ? QByteArray(argv[4]) : QByteArray("xptvl");
    const QByteArray contents = argc > 5 ? QByteArray(argv[5]) : QByteArray("dgks");
    if (!haveTools())
        return 2;
    QTemporaryDir temporary;
    const QString work = temporary.path();
    const QString folder =
        qEnvironmentVariableIsEmpty("BENCH_SOURCES") ? work : qEnvironmentVariable("BENCH_SOURCES");
    QDir().mkpath(folder);
    const QString still = folder + QStringLiteral("/still.png");
    if (!QFile::exists(still) && !ok(run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi",
                                          "-i", kStill, "-frames:v", "1", still.toStdString()}),
                                     "making the still"))
        return 1;

    std::printf("bench_sources %d %d %s %s %s: %d s sources, %d timed runs each; %s; HandBrake "
                "in %s\n",
                seconds, runs, rows.constData(), kinds.constData(), contents.constData(), seconds,
                runs, quietWanted() ? "each run waits for a quiet machine" : "no waiting",
                onePass() ? "one pass" : "two passes");
    std::printf("columns: kB of video, SSIM, median wall s, children's processor s ('~': others "
                "ran); split: processor s of decoding/filtering/encoding; ratios ours/HandBrake "
                "wall, size, SSIM lead; '!' marks a missed aim\n");
    std::printf("%-16s %-2s | %-27s | %-27s | %-14s | %-27s | %-27s | %-14s | %s\n", "source", "q",
                "MPEG-4 ours", "MPEG-4 HandBrake", "split", "H.264 ours", "HandBrake x264", "split",
                "M4 wall size ssim; H wall size ssim");
    std::fflush(stdout);
    int checks = 0;
    int missed = 0;
    const auto check = [&](bool met) {
        ++checks;
        missed += !met;
        return met ? " " : "!";
    };
    std::map<std::pair<char, int>, Worst> worst;
    for (const Kind& kind : kKinds) {
        if (!kinds.contains(kind.key))
            continue;
        for (const Content& content : kContents) {
            if (!contents.contains(content.key))
                continue;
            Source source{&kind,
                          &content,
                          folder + QStringLiteral("/%1-%2-%3s.%4")
                                       .arg(QLatin1String(kind.name), QLatin1String(content.name))
                                       .arg(seconds)
                                       .arg(QLatin1String(kind.extension)),
                          {}};
            if (!QFile::exists(source.file) &&
                !makeSource(kind, content, folder, still, source.file, seconds))
                return 1;
            const Timed decodeOnly = run({"ffmpeg", "-nostdin", "-v", "error", "-i",
                                          "file:" + source.file.toStdString(), "-f", "null", "-"});
            if (!ok(decodeOnly, "decoding alone"))
                return 1;
            for (const Row& row : kRows) {
                if (!rows.contains(static_cast<char>('0' + row.quality)))
                    continue;
                const int height = frameHeight(row, kind);
                QString& reference = source.references[row.width];
                if (reference.isEmpty()) {
                    reference = work + QStringLiteral("/reference-%1.nut").arg(row.width);
                    if (!makeReference(source, row.width, height, reference))
                        return 1;
                }
                Result ours[2];
                Result theirs[2];
                Result atSize[2];
                bool atTheirSize[2] = {false, false};
                Split split[2];
                for (int codec = 0; codec < 2; ++codec) {
                    if (!measurePair(source, row, codec, runs, seconds, work, ours[codec],
                                     theirs[codec]))
                        return 1;
                    ours[codec].ssim =
                        ssim(work + QStringLiteral("/ours.mp4"), reference, row, work);
                    theirs[codec].ssim =
                        ssim(work + QStringLiteral("/theirs.mp4"), reference, row, work);
                    if (!measureSplit(source, row, codec, work, decodeOnly.processor, split[codec]))
                        return 1;
                    // HandBrake could not come up to our size: our picture at its size instead.
                    atTheirSize[codec] = ours[codec].bytes > theirs[codec].bytes * (1 + kEqualSize);
                    if (atTheirSize[codec]) {
                        const QString file = work + QStringLiteral("/ours-at-theirs.mp4");
                        if (!runAtRate(
                                source, file, row, codec,
                                static_cast<int>(theirs[codec].bytes * 8 / seconds / 1000))) {
                            std::fprintf(stderr, "ours at HandBrake's size failed\n");
                            return 1;
                        }
                        atSize[codec] = ours[codec];
                        atSize[codec].bytes = videoBytes(file);
                        atSize[codec].ssim = ssim(file, reference, row, work);
                        QFile::remove(file);
                    }
                }
                std::printf("%-16s q%d |", (std::string(kind.name) + "-" + content.name).c_str(),
                            row.quality);
                for (int codec = 0; codec < 2; ++codec) {
                    print(ours[codec]);
                    print(theirs[codec]);
                    std::printf(" %4.1f %4.1f %4.1f |", split[codec].decode, split[codec].filter,
                                split[codec].encode);
                }
                Worst& w = worst[{kind.key, row.quality}];
                for (int codec = 0; codec < 2; ++codec) {
                    // Size and picture at HandBrake's size where it could not reach ours ('*').
                    const Result& compared = atTheirSize[codec] ? atSize[codec] : ours[codec];
                    const double wall = ours[codec].wall / theirs[codec].wall;
                    const double size = compared.bytes / theirs[codec].bytes;
                    const double lead = compared.ssim - theirs[codec].ssim;
                    w.wallRatio[codec] = std::max(w.wallRatio[codec], wall);
                    w.sizeRatio[codec] = std::max(w.sizeRatio[codec], size);
                    w.ssimLead[codec] = std::min(w.ssimLead[codec], lead);
                    // Where HandBrake cannot come down to our size, ahead at a smaller size is
                    // ahead.
                    std::printf(" %.2f%s %.3f%s %+.4f%s%s%s", wall, check(wall <= kWallAim), size,
                                check(size <= 1 + kEqualSize), lead, check(lead >= 0),
                                atTheirSize[codec] ? "*" : "", codec == 0 ? ";" : "\n");
                }
                std::fflush(stdout);
            }
            QFile::remove(work + QStringLiteral("/ours.mp4"));
            QFile::remove(work + QStringLiteral("/theirs.mp4"));
            for (const auto& [width, file] : source.references)
                QFile::remove(file);
            if (qEnvironmentVariableIsEmpty("BENCH_SOURCES"))
                QFile::remove(source.file);
        }
    }
    std::printf("\nper kind and row, the worst over the contents (wall ratio, size ratio, SSIM "
                "lead), MPEG-4 | H.264:\n");
    for (const auto& [key, w] : worst) {
        const Kind* kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                        [&](const Kind& k) { return k.key == key.first; });
        std::printf("  %-9s q%d | %.2f %.3f %+.4f | %.2f %.3f %+.4f\n", kind->name, key.second,
                    w.wallRatio[0], w.sizeRatio[0], w.ssimLead[0], w.wallRatio[1], w.sizeRatio[1],
                    w.ssimLead[1]);
    }
    std::printf("aims met: %d of %d ('!' marks a miss: wall <= %.1f of HandBrake's, video no "
                "larger, SSIM >= HandBrake's)\n",
                checks - missed, checks, kWallAim);
    return missed == 0 ? 0 : 3;
}
