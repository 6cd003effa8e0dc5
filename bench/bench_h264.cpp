// The program's two codecs against their settings of before and against HandBrake. To repeat it:
//   cmake -S <tree> -B <tree>/build -G Ninja -DTOVILO_BENCH=ON && cmake --build <tree>/build
//   <tree>/build/bench/bench_h264 [seconds] [runs] [rows] [sources]
// ($BENCH_WRAPPER names another lib/ffmpeg to measure.)
//
// Five generated sources of `seconds` (30) at 640x480, 30 fps: a detailed pan, talking heads
// with grain, a dark scene, a static scene with small motion, fast cuts (`sources`, by their
// first letters: pthsc). Each quality row of `rows` (01234), at 4:3, is converted by
//   - ffmpeg with the MPEG-4 settings of before (ffmpeg's defaults at the row's rate), once,
//   - lib/ffmpeg with the program's MPEG-4 command line,
//   - HandBrakeCLI -e mpeg4 (package handbrake-cli, needed by this bench only) at the same
//     frame size and frame rate, its average rate set so that its video is as large as ours
//     (within 3 %),
//   - lib/ffmpeg with the program's H.264 command line (CODEC=1),
//   - HandBrakeCLI as an iPod-class x264 Baseline encode at the same level, sized as ours,
// `runs` (3) times each but the first; wall and processor times (the children's) are medians.
// SSIM is ffmpeg's ssim filter against the source scaled to the frame. One more encode with the
// new MPEG-4 settings at 0.7 of the old one's size shows whether it is at least as good there.
#include "bench/MediaBench.h"
#include "encoder/plan/WrapperArgs.h"
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
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace tovilo;
using namespace tovilo::bench;

namespace {

constexpr double kEqualSize = 0.03;
constexpr double kOldShare = 0.7;

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
    // A lecture or a surveillance camera: a fixed view, one small thing moving, sensor noise.
    {"static",
     "[0]split=2[a][b];[a]crop=640:480:500:400,gblur=sigma=1.5[bg];[b]crop=48:96:900:700[p];"
     "[bg][p]overlay=x='300+120*sin(t/3)':y='260+8*sin(t*2)',noise=alls=5:allf=t,"
     "format=yuv420p",
     true},
    // A cut every 1.1 s between four unlike scenes, each moving. The game of life is seeded so
    // that every run sees the same scene.
    {"cuts",
     "[0]split=2[s1][s2];[s1]crop=640:480:x='mod(floor(t/1.1)*397,900)+t*25':"
     "y='mod(floor(t/1.1)*211,700)'[a];testsrc2=s=640x480:r=30[b];"
     "[s2]scale=640:480,hue=H=t:s=2,negate[c];life=s=160x120:mold=10:r=30:ratio=0.1:seed=7:"
     "death_color=#203040:life_color=#e0c080,scale=640:480:flags=neighbor,format=yuv420p[d];"
     "[a][b]overlay=enable='between(mod(t,4.4),1.1,2.2)'[ab];"
     "[ab][c]overlay=enable='between(mod(t,4.4),2.2,3.3)'[abc];"
     "[abc][d]overlay=enable='between(mod(t,4.4),3.3,4.4)',noise=alls=6:allf=t,format=yuv420p",
     true},
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
    queue.Settings.Quality = static_cast<std::uint8_t>(row.quality);
    queue.Settings.Codec = static_cast<std::uint8_t>(codec);
    std::vector<std::string> args = {wrapper.toStdString()};
    for (const QByteArray& arg : splitCommandLine(
             queue.BuildArguments(QFile::encodeName(source), QFile::encodeName(output))))
        args.push_back(arg.toStdString());
    return args;
}

std::vector<std::string> handBrakeCommand(const QString& source, const QString& output,
                                          const Row& row, int codec, int videoKbit)
{
    return tovilo::bench::handBrakeCommand({source.toStdString(), output.toStdString(), row.width,
                                            row.height, row.frameRate, row.audioKbit,
                                            row.sampleRate, codec, videoKbit});
}

// ffmpeg with the arguments the wrapper gives it, changed by `edit`.
std::vector<std::string>
editedWrapperArguments(const QString& wrapper, const QString& source, const QString& output,
                       const Row& row, int codec,
                       const std::function<void(std::vector<std::string>&)>& edit)
{
    std::vector<std::string> dialect = wrapperCommand(wrapper, source, output, row, codec);
    dialect.erase(dialect.begin());
    std::vector<std::string> args = mapArguments(dialect);
    edit(args);
    args.insert(args.begin(), "ffmpeg");
    return args;
}

// The wrapper's encoder at an average rate instead of the row's quality: H.264 at a chosen
// size.
std::vector<std::string> h264AtRate(const QString& wrapper, const QString& source,
                                    const QString& output, const Row& row, int videoKbit)
{
    return editedWrapperArguments(wrapper, source, output, row, 1, [&](auto& args) {
        const auto at = std::find(args.begin(), args.end(), "-crf");
        *at = "-b:v";
        *(at + 1) = std::to_string(videoKbit) + "k";
        const auto cap = std::find(args.begin(), args.end(), "-maxrate");
        *(cap + 1) = std::to_string(std::min(std::stoi(*(cap + 1)), videoKbit)) + "k";
    });
}

// MPEG-4 as the wrapper made it before it chose its own settings: ffmpeg's defaults.
std::vector<std::string> oldMpeg4(const QString& wrapper, const QString& source,
                                  const QString& output, const Row& row)
{
    return editedWrapperArguments(wrapper, source, output, row, 0, [&](auto& args) {
        const auto from = std::find(args.begin(), args.end(), "-c:v");
        const auto to = std::find(from, args.end(), "-s");
        const std::string rate = *(std::find(from, to, "-b:v") + 1);
        args.insert(args.erase(from, to), {"-c:v", "mpeg4", "-flags", "bitexact", "-b:v", rate});
    });
}

// The new MPEG-4 settings at another average rate.
std::vector<std::string> mpeg4AtRate(const QString& wrapper, const QString& source,
                                     const QString& output, const Row& row, int videoKbit)
{
    return editedWrapperArguments(wrapper, source, output, row, 0, [&](auto& args) {
        *(std::find(args.begin(), args.end(), "-b:v") + 1) = std::to_string(videoKbit) + "k";
        *(std::find(args.begin(), args.end(), "-bt") + 1) = std::to_string(videoKbit / 4) + "k";
    });
}

struct Result
{
    double bytes = 0; // video only
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

// Runs a command `runs` times; the result of the last, with median times.
bool measure(const std::vector<std::string>& command, const QString& file, int runs,
             const char* what, Result& result)
{
    std::vector<double> walls, processors;
    for (int i = 0; i < runs; ++i) {
        const Timed timed = run(command);
        if (!ok(timed, what))
            return false;
        walls.push_back(timed.wall);
        processors.push_back(timed.processor);
    }
    result.wall = median(walls);
    result.processor = median(processors);
    result.bytes = videoBytes(file);
    return true;
}

// HandBrake with its average rate moved until its video is as large as `bytes`; then `runs`
// runs at that rate.
bool measureHandBrake(const QString& source, const QString& file, const Row& row, int codec,
                      double bytes, double duration, int runs, Result& result)
{
    double kbit = bytes * 8 / duration / 1000;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!measure(handBrakeCommand(source, file, row, codec, static_cast<int>(kbit + 0.5)), file,
                     1, "HandBrake", result))
            return false;
        if (std::abs(result.bytes / bytes - 1) <= kEqualSize / 2)
            break;
        kbit *= bytes / result.bytes;
    }
    return measure(handBrakeCommand(source, file, row, codec, static_cast<int>(kbit + 0.5)), file,
                   runs, "HandBrake", result);
}

void print(const Result& result)
{
    std::printf(" %6.0f %.4f %5.1f %5.1f |", result.bytes / 1000, result.ssim, result.wall,
                result.processor);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QByteArray rows = argc > 3 ? QByteArray(argv[3]) : QByteArray("01234");
    const QByteArray sources = argc > 4 ? QByteArray(argv[4]) : QByteArray("pthsc");
    if (!haveTools())
        return 2;
    // A copy of the wrapper keeps a long run apart from a rebuild of the tree.
    const QString wrapper = qEnvironmentVariableIsEmpty("BENCH_WRAPPER")
                                ? QStringLiteral(BENCH_WRAPPER)
                                : qEnvironmentVariable("BENCH_WRAPPER");
    QTemporaryDir work;
    const QString still = work.filePath(QStringLiteral("still.png"));
    if (!ok(run({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", kStill.toStdString(),
                 "-frames:v", "1", still.toStdString()}),
            "making the still"))
        return 1;

    std::printf("bench_h264 %d %d %s %s: %d s sources at 640x480 30 fps, %d runs; kB of video, "
                "SSIM, median wall and children's processor seconds\n",
                seconds, runs, rows.constData(), sources.constData(), seconds, runs);
    std::printf("%-6s %-2s | %-24s | %-24s | %-24s | %-6s | %-24s | %-24s | %s\n", "source", "q",
                "MPEG-4 before", "MPEG-4 now", "HandBrake MPEG-4", "at 0.7", "H.264",
                "HandBrake x264", "M4/HB ssim size wall; H/HB ssim size wall; H/M4 ssim size");
    std::fflush(stdout);
    const double duration = seconds * 1.0;
    int missed = 0;
    int checks = 0;
    const auto check = [&](bool met) {
        ++checks;
        missed += !met;
        return met ? "" : "!";
    };
    for (const Source& sourceKind : kSources) {
        if (!sources.contains(sourceKind.name[0]))
            continue;
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
            const QString oldFile = prefix + QStringLiteral("mpeg4-before.mp4");
            const QString mpeg4File = prefix + QStringLiteral("mpeg4.mp4");
            const QString hbMpeg4File = prefix + QStringLiteral("handbrake-mpeg4.mp4");
            const QString shareFile = prefix + QStringLiteral("mpeg4-share.mp4");
            const QString h264File = prefix + QStringLiteral("h264.mp4");
            const QString hbFile = prefix + QStringLiteral("handbrake.mp4");
            Result old, mpeg4, hbMpeg4, share, h264, hb;

            if (!measure(oldMpeg4(wrapper, source, oldFile, row), oldFile, 1, "MPEG-4 before",
                         old) ||
                !measure(wrapperCommand(wrapper, source, mpeg4File, row, 0), mpeg4File, runs,
                         "Tovilo MPEG-4", mpeg4) ||
                !measureHandBrake(source, hbMpeg4File, row, 0, mpeg4.bytes, duration, runs,
                                  hbMpeg4) ||
                !measure(mpeg4AtRate(wrapper, source, shareFile, row,
                                     static_cast<int>(kOldShare * old.bytes * 8 / duration / 1000)),
                         shareFile, 1, "MPEG-4 at a share of before", share) ||
                !measure(wrapperCommand(wrapper, source, h264File, row, 1), h264File, runs,
                         "Tovilo H.264", h264) ||
                !measureHandBrake(source, hbFile, row, 1, h264.bytes, duration, runs, hb))
                return 1;
            for (auto [file, result] : {std::pair{&oldFile, &old},
                                        {&mpeg4File, &mpeg4},
                                        {&hbMpeg4File, &hbMpeg4},
                                        {&shareFile, &share},
                                        {&h264File, &h264},
                                        {&hbFile, &hb}})
                result->ssim = ssim(*file, source, row);

            double h264SizeRatio = h264.bytes / hb.bytes;
            double h264AtEqualSize = h264.ssim;
            const char* equalMark = "";
            if (std::abs(h264SizeRatio - 1) > kEqualSize) {
                // HandBrake's rate control cannot reach our size under the same cap: the
                // wrapper's encoder at an average rate of HandBrake's size instead, marked '*'.
                const QString atFile = prefix + QStringLiteral("h264-at-handbrake.mp4");
                const int kbit = static_cast<int>(hb.bytes * 8 / duration / 1000);
                if (!ok(run(h264AtRate(wrapper, source, atFile, row, kbit)),
                        "H.264 at HandBrake's size"))
                    return 1;
                h264AtEqualSize = ssim(atFile, source, row);
                h264SizeRatio = videoBytes(atFile) / hb.bytes;
                equalMark = "*";
                QFile::remove(atFile);
            }
            // Where HandBrake cannot come down to our size, ahead at a smaller size is ahead.
            const double mpeg4SizeRatio = mpeg4.bytes / hbMpeg4.bytes;

            std::printf("%-6s q%d |", sourceKind.name, row.quality);
            for (const Result* result : {&old, &mpeg4, &hbMpeg4})
                print(*result);
            std::printf(" %.4f%s |", share.ssim, check(share.ssim >= old.ssim));
            for (const Result* result : {&h264, &hb})
                print(*result);
            std::printf(
                " %.4f%s %.3f%s %.2f%s; %.4f%s%s %.3f %.2f%s; ", mpeg4.ssim / hbMpeg4.ssim,
                check(mpeg4.ssim >= hbMpeg4.ssim), mpeg4SizeRatio,
                check(mpeg4SizeRatio <= 1 + kEqualSize), mpeg4.wall / hbMpeg4.wall,
                check(mpeg4.wall <= hbMpeg4.wall), h264AtEqualSize / hb.ssim, equalMark,
                check(std::abs(h264SizeRatio - 1) <= kEqualSize && h264AtEqualSize >= hb.ssim),
                h264SizeRatio, h264.wall / hb.wall, check(h264.wall <= hb.wall));
            // Where the level's cap leaves H.264 the rate, it is at least MPEG-4's picture in no
            // more bytes.
            const bool capped = row.quality < 2;
            std::printf("%.4f%s %.3f%s\n", h264.ssim / mpeg4.ssim,
                        capped ? "" : check(h264.ssim >= mpeg4.ssim), h264.bytes / mpeg4.bytes,
                        capped ? "" : check(h264.bytes <= mpeg4.bytes));
            std::fflush(stdout);
            for (const QString* file :
                 {&oldFile, &mpeg4File, &hbMpeg4File, &shareFile, &h264File, &hbFile})
                QFile::remove(*file);
        }
        QFile::remove(source);
    }
    std::printf("aims met: %d of %d; '!' marks a miss (MPEG-4 at %.1f of before's size at least "
                "as good; SSIM >= HandBrake's at equal size and wall <= HandBrake's for both "
                "codecs; H.264 >= MPEG-4's SSIM in no more bytes on rows 2-4)\n",
                checks - missed, checks, kOldShare);
    return missed == 0 ? 0 : 3;
}
