// H.264 against MPEG-4 and against HandBrake. To repeat it:
//   cmake -S <tree> -B <tree>/build -G Ninja -DTOVILO_BENCH=ON && cmake --build <tree>/build
//   <tree>/build/bench/bench_h264 [seconds] [runs] [rows]
//
// Three generated sources of `seconds` (30) at 640x480, 30 fps: a detailed pan, talking heads
// with grain, a dark scene. Each quality row of `rows` (01234), at 4:3, is converted by
//   - lib/ffmpeg with the program's MPEG-4 command line,
//   - lib/ffmpeg with the program's H.264 command line (CODEC=1),
//   - HandBrakeCLI (package handbrake-cli, needed by this bench only) as an iPod-class x264
//     Baseline encode of the same frame size, frame rate and level, its average rate set so
//     that its video is as large as ours (within 3 %),
// `runs` (3) times each (MPEG-4 once); wall and processor times are medians. SSIM is ffmpeg's ssim
// filter against the source scaled to the frame. A last encode with the wrapper's H.264 settings at
// 0.6 of the MPEG-4 video's size shows whether H.264 matches MPEG-4 there.
#include "encoder/WrapperArgs.h"
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

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace tovilo;

namespace {

constexpr double kEqualSize = 0.03;
constexpr double kEquivalentShare = 0.6;

struct Source
{
    const char* name;
    QByteArray filter; // applied to the looped still, or a filter graph of it
    bool graph;
};

// A still with detail at every scale; each source moves a 640x480 window over it.
const QByteArray kStill =
    "nullsrc=s=1600x1200,geq=lum='128+50*sin(X/5.3)*cos(Y/7.1)+35*sin((X+2*Y)/17)':"
    "cb='128+60*sin(X/40)':cr='128+60*cos(Y/33)',noise=alls=30,format=yuv420p";

const Source kSources[] = {
    {"pan", "crop=640:480:x='t*30':y='300+100*sin(t/3)'", false},
    {"heads",
     "[0]split=3[a][b][c];[a]crop=640:480:0:0,gblur=sigma=6[bg];[b]crop=200:260:700:500[h1];"
     "[c]crop=180:240:200:100,hflip[h2];[bg][h1]overlay=x='120+12*sin(t*2)':y='160+6*sin(t*3.1)'"
     "[o1];[o1][h2]overlay=x='360+9*sin(t*2.7)':y='150+7*sin(t*1.9)',noise=alls=14:allf=t,"
     "format=yuv420p",
     true},
    {"dark",
     "crop=640:480:x='200+t*12':y='200+40*sin(t/4)',eq=brightness=-0.32:contrast=0.45,"
     "noise=alls=8:allf=t,format=yuv420p",
     false},
};

struct Row
{
    int quality;
    int width;
    int height;
    int frameRate;
    int sampleRate;
    int audioKbit;
};

const Row kRows[] = {{0, 640, 480, 30, 48000, 160},
                     {1, 320, 240, 30, 48000, 128},
                     {2, 320, 240, 30, 44100, 128},
                     {3, 320, 240, 30, 44100, 128},
                     {4, 320, 240, 15, 44100, 64}};

struct Timed
{
    int status = -1;
    double wall = 0;
    double processor = 0; // the child's and its children's
    QByteArray output;
};

double childrenProcessor()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Timed run(const std::vector<std::string>& args)
{
    QList<QByteArray> argv;
    for (const std::string& arg : args)
        argv.append(QByteArray::fromStdString(arg));
    const double processor = childrenProcessor();
    QElapsedTimer clock;
    clock.start();
    const CommandResult result = runCommand(argv, -1, CommandOutput::CollectWithError);
    Timed timed;
    timed.wall = clock.nsecsElapsed() / 1e9;
    timed.processor = childrenProcessor() - processor;
    timed.status = result.startError != 0 ? -1 : static_cast<int>(result.exitCode);
    timed.output = result.output;
    return timed;
}

bool ok(const Timed& timed, const char* what)
{
    if (timed.status == 0)
        return true;
    std::fprintf(stderr, "%s failed (%d):\n%s\n", what, timed.status,
                 timed.output.right(2000).constData());
    return false;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Bytes of the first video stream.
double videoBytes(const QString& file)
{
    const Timed probe =
        run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
             "stream=bit_rate,duration", "-of", "default=nw=1:nk=1", "file:" + file.toStdString()});
    const QList<QByteArray> values = probe.output.trimmed().split('\n');
    return values.size() == 2 ? values[0].toDouble() * values[1].toDouble() / 8 : 0;
}

// At 15 fps an encoder keeps every other source frame, and which half is its own choice: the
// reference is the half that matches.
double ssim(const QString& file, const QString& source, const Row& row)
{
    const std::string rate = std::to_string(row.frameRate);
    const std::string size = std::to_string(row.width) + ":" + std::to_string(row.height);
    const int phases = 30 / row.frameRate;
    double best = -1;
    for (int phase = 0; phase < phases; ++phase) {
        const std::string graph = "[0]setpts=N/" + rate + "/TB[out];[1]scale=" + size +
                                  ",select='eq(mod(n," + std::to_string(phases) + ")," +
                                  std::to_string(phase) + ")',setpts=N/" + rate +
                                  "/TB[ref];[out][ref]ssim";
        const Timed timed =
            run({"ffmpeg", "-nostdin", "-hide_banner", "-i", "file:" + file.toStdString(), "-i",
                 "file:" + source.toStdString(), "-lavfi", graph, "-f", "null", "-"});
        const auto match = QRegularExpression(QStringLiteral("SSIM .* All:([0-9.]+)"))
                               .match(QString::fromUtf8(timed.output));
        if (timed.status == 0 && match.hasMatch())
            best = std::max(best, match.captured(1).toDouble());
    }
    return best;
}

std::vector<std::string> wrapperCommand(const QString& wrapper, const QString& source,
                                        const QString& output, const Row& row, int codec)
{
    ThConvertInfoObjectList queue;
    queue.Quality = static_cast<std::uint8_t>(row.quality);
    queue.Codec = static_cast<std::uint8_t>(codec);
    std::vector<std::string> args = {wrapper.toStdString()};
    for (const QByteArray& arg : splitCommandLine(
             queue.BuildArguments(QFile::encodeName(source), QFile::encodeName(output))))
        args.push_back(arg.toStdString());
    return args;
}

std::vector<std::string> handBrakeCommand(const QString& source, const QString& output,
                                          const Row& row, int videoKbit)
{
    const bool large = row.width > 320;
    std::string x264 =
        large ? "vbv-maxrate=1500:vbv-bufsize=2000:ref=1" : "vbv-maxrate=768:vbv-bufsize=2000";
    return {"HandBrakeCLI",
            // The device family's preset, told what the iPods decode; its filters would judge
            // the still's fine detail to be combing and blur it.
            "-Z", "Apple 540p30 Surround", "-i", source.toStdString(), "-o", output.toStdString(),
            "-f", "av_mp4", "-I", "-e", "x264", "--encoder-profile", "baseline", "--encoder-level",
            large ? "3.0" : "1.3", "-x", x264, "-b", std::to_string(videoKbit), "-w",
            std::to_string(row.width), "-l", std::to_string(row.height), "--crop", "0:0:0:0",
            "--non-anamorphic", "-r", std::to_string(row.frameRate), "--cfr", "--no-comb-detect",
            "--no-decomb", "--no-deinterlace", "-a", "1", "-E", "av_aac", "-B",
            std::to_string(row.audioKbit), "-R", row.sampleRate == 48000 ? "48" : "44.1", "-6",
            "stereo"};
}

// ffmpeg with the arguments the wrapper gives it for H.264, but an average rate instead of the
// row's quality: the wrapper's encoder at a chosen size.
std::vector<std::string> h264AtRate(const QString& wrapper, const QString& source,
                                    const QString& output, const Row& row, int videoKbit)
{
    std::vector<std::string> dialect = wrapperCommand(wrapper, source, output, row, 1);
    dialect.erase(dialect.begin());
    std::vector<std::string> args = mapArguments(dialect);
    const auto at = std::find(args.begin(), args.end(), "-crf");
    *at = "-b:v";
    *(at + 1) = std::to_string(videoKbit) + "k";
    const auto cap = std::find(args.begin(), args.end(), "-maxrate");
    *(cap + 1) = std::to_string(std::min(std::stoi(*(cap + 1)), videoKbit)) + "k";
    args.insert(args.begin(), "ffmpeg");
    return args;
}

struct Result
{
    double bytes = 0; // video only
    double fileBytes = 0;
    double ssim = 0;
    double wall = 0;
    double processor = 0;
};

bool makeSource(const Source& source, const QString& still, const QString& file, int seconds)
{
    const std::string length = std::to_string(seconds);
    std::vector<std::string> args = {"ffmpeg",
                                     "-nostdin",
                                     "-v",
                                     "error",
                                     "-y",
                                     "-loop",
                                     "1",
                                     "-framerate",
                                     "30",
                                     "-i",
                                     still.toStdString(),
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "sine=frequency=440:duration=" + length,
                                     "-ac",
                                     "2"};
    args.insert(args.end(), {source.graph ? "-filter_complex" : "-vf", source.filter.toStdString(),
                             "-t", length, "-c:v", "libx264", "-crf", "8", "-preset", "ultrafast",
                             "-c:a", "pcm_s16le", file.toStdString()});
    return ok(run(args), "making the source");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QByteArray rows = argc > 3 ? QByteArray(argv[3]) : QByteArray("01234");
    for (const char* tool : {"ffmpeg", "ffprobe", "HandBrakeCLI"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            std::fprintf(stderr, "%s not found (HandBrakeCLI: apt-get install handbrake-cli)\n",
                         tool);
            return 2;
        }
    }
    const QString wrapper = QStringLiteral(BENCH_WRAPPER);
    QTemporaryDir work;
    const QString still = work.filePath(QStringLiteral("still.png"));
    if (!ok(run({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", kStill.toStdString(),
                 "-frames:v", "1", still.toStdString()}),
            "making the still"))
        return 1;

    std::printf("bench_h264 %d %d %s: %d s sources at 640x480 30 fps, median wall and processor "
                "seconds of %d runs; sizes are the video streams'\n",
                seconds, runs, rows.constData(), seconds, runs);
    std::printf("%-6s %-2s | %-24s | %-24s | %-24s | %-12s | %-24s | %s\n", "source", "q",
                "MPEG-4 kB SSIM wall cpu", "H.264 kB SSIM wall cpu", "HandBrake kB SSIM wall cpu",
                "H/M4 size ssim", "T/HB SSIM size wall cpu", "H.264 SSIM at a share of M4");
    std::fflush(stdout);
    int missed = 0;
    int checks = 0;
    for (const Source& sourceKind : kSources) {
        const QString source =
            work.filePath(QString::fromLatin1(sourceKind.name) + QStringLiteral(".mkv"));
        if (!makeSource(sourceKind, still, source, seconds))
            return 1;
        for (const Row& row : kRows) {
            if (!rows.contains(static_cast<char>('0' + row.quality)))
                continue;
            const QString prefix = work.filePath(QStringLiteral("%1-q%2-")
                                                     .arg(QString::fromLatin1(sourceKind.name))
                                                     .arg(row.quality));
            const QString mpeg4File = prefix + QStringLiteral("mpeg4.mp4");
            const QString h264File = prefix + QStringLiteral("h264.mp4");
            const QString hbFile = prefix + QStringLiteral("handbrake.mp4");
            Result mpeg4, h264, hb;
            std::vector<double> mpeg4Walls, h264Walls, hbWalls, mpeg4Cpu, h264Cpu, hbCpu;

            // Ours first: HandBrake's rate follows the size of our H.264. MPEG-4's time is
            // compared with nothing, one run of it does.
            const Timed described = run(wrapperCommand(wrapper, source, mpeg4File, row, 0));
            if (!ok(described, "Tovilo MPEG-4"))
                return 1;
            mpeg4Walls.push_back(described.wall);
            mpeg4Cpu.push_back(described.processor);
            for (int i = 0; i < runs; ++i) {
                const Timed timed = run(wrapperCommand(wrapper, source, h264File, row, 1));
                if (!ok(timed, "Tovilo H.264"))
                    return 1;
                h264Walls.push_back(timed.wall);
                h264Cpu.push_back(timed.processor);
            }
            mpeg4.bytes = videoBytes(mpeg4File);
            h264.bytes = videoBytes(h264File);
            const double duration = seconds * 1.0;
            double hbKbit = h264.bytes * 8 / duration / 1000;
            const auto runHandBrake = [&] {
                const Timed timed =
                    run(handBrakeCommand(source, hbFile, row, static_cast<int>(hbKbit + 0.5)));
                if (!ok(timed, "HandBrake"))
                    return false;
                hbWalls.push_back(timed.wall);
                hbCpu.push_back(timed.processor);
                return true;
            };
            for (int attempt = 0; attempt < 4; ++attempt) {
                if (!runHandBrake())
                    return 1;
                hb.bytes = videoBytes(hbFile);
                if (std::abs(hb.bytes / h264.bytes - 1) <= kEqualSize / 2)
                    break;
                hbKbit *= h264.bytes / hb.bytes;
                hbWalls.clear(); // only runs at the final rate count
                hbCpu.clear();
            }
            while (static_cast<int>(hbWalls.size()) < runs) {
                if (!runHandBrake())
                    return 1;
            }
            mpeg4.wall = median(mpeg4Walls);
            h264.wall = median(h264Walls);
            hb.wall = median(hbWalls);
            mpeg4.processor = median(mpeg4Cpu);
            h264.processor = median(h264Cpu);
            hb.processor = median(hbCpu);
            mpeg4.ssim = ssim(mpeg4File, source, row);
            h264.ssim = ssim(h264File, source, row);
            hb.ssim = ssim(hbFile, source, row);

            const QString shareFile = prefix + QStringLiteral("h264-share.mp4");
            const int shareKbit =
                static_cast<int>(kEquivalentShare * mpeg4.bytes * 8 / duration / 1000);
            std::vector<std::string> share = h264AtRate(wrapper, source, shareFile, row, shareKbit);
            if (!ok(run(share), "H.264 at a share of the MPEG-4 size"))
                return 1;
            const double shareSsim = ssim(shareFile, source, row);
            const double shareBytes = videoBytes(shareFile);

            double sizeRatio = h264.bytes / hb.bytes;
            double oursAtEqualSize = h264.ssim;
            const char* equalMark = "";
            if (std::abs(sizeRatio - 1) > kEqualSize) {
                // HandBrake's rate control cannot reach our size under the same cap: the
                // wrapper's encoder at an average rate of HandBrake's size instead, marked '*'.
                const QString atFile = prefix + QStringLiteral("h264-at-handbrake.mp4");
                const int kbit = static_cast<int>(hb.bytes * 8 / duration / 1000);
                if (!ok(run(h264AtRate(wrapper, source, atFile, row, kbit)),
                        "H.264 at HandBrake's size"))
                    return 1;
                oursAtEqualSize = ssim(atFile, source, row);
                sizeRatio = videoBytes(atFile) / hb.bytes;
                equalMark = "*";
                QFile::remove(atFile);
            }
            const bool equalSize = std::abs(sizeRatio - 1) <= kEqualSize;
            const bool ssimAhead = equalSize && oursAtEqualSize >= hb.ssim;
            const bool faster = h264.wall <= hb.wall;
            const bool equivalent = shareSsim >= mpeg4.ssim;
            checks += 3;
            missed += !ssimAhead + !faster + !equivalent;
            std::printf("%-6s q%d | %6.0f %.4f %5.1f %5.1f | %6.0f %.4f %5.1f %5.1f | %6.0f %.4f "
                        "%5.1f %5.1f | %.3f %.4f | %.4f%s%s %.3f %.2f%s %.2f | %.4f at %.2f %s\n",
                        sourceKind.name, row.quality, mpeg4.bytes / 1000, mpeg4.ssim, mpeg4.wall,
                        mpeg4.processor, h264.bytes / 1000, h264.ssim, h264.wall, h264.processor,
                        hb.bytes / 1000, hb.ssim, hb.wall, hb.processor, h264.bytes / mpeg4.bytes,
                        h264.ssim / mpeg4.ssim, oursAtEqualSize / hb.ssim, equalMark,
                        ssimAhead ? "" : "!", sizeRatio, h264.wall / hb.wall, faster ? "" : "!",
                        h264.processor / hb.processor, shareSsim, shareBytes / mpeg4.bytes,
                        equivalent ? "ok" : "MISSED");
            std::fflush(stdout);
            for (const QString& file : {mpeg4File, h264File, hbFile, shareFile})
                QFile::remove(file);
        }
        QFile::remove(source);
    }
    std::printf("aims met: %d of %d (T/HB SSIM >= 1 at equal size, T/HB wall <= 1, H.264 at "
                "%.1f of the MPEG-4 size at least as good); '!' marks a miss\n",
                checks - missed, checks, kEquivalentShare);
    return missed == 0 ? 0 : 3;
}
