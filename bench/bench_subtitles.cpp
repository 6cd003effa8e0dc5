// The cost of burning text subtitles in. To repeat it:
//   cmake -S /work/main -B /work/build-bench -G Ninja -DTOVILO_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build /work/build-bench --target bench_subtitles
//   /work/build-bench/bench/bench_subtitles [rounds]
//
// A generated 60-second 640x480 film with a Japanese line every two seconds, converted by
// lib/ffmpeg at quality 1 (320x240) without subtitles, with a Shift-JIS side file, and with the
// same lines as a track of the film, alternated (5 rounds by default). Prints the median wall
// times and each burning run's ratio to the run without (aim: at most 1.15).
#include "platform/CommandLine.h"
#include "queue/ThConvertInfo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

bool run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString subtitleLines()
{
    QString text;
    for (int i = 0; i < 30; ++i)
        text += QStringLiteral("%1\n00:00:%2,000 --> 00:00:%3,500\n字幕の%1行目です\n\n")
                    .arg(i + 1)
                    .arg(2 * i, 2, 10, QLatin1Char('0'))
                    .arg(2 * i + 1, 2, 10, QLatin1Char('0'));
    return text;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir dir;
    const QString srt = dir.filePath(QStringLiteral("lines.srt"));
    const QString side = dir.filePath(QStringLiteral("side.mkv"));
    const QString track = dir.filePath(QStringLiteral("track.mkv"));
    QFile file(srt);
    if (!file.open(QIODevice::WriteOnly) || file.write(subtitleLines().toUtf8()) < 0)
        return 1;
    file.close();
    const QStringList film = {QStringLiteral("-v"),
                              QStringLiteral("error"),
                              QStringLiteral("-y"),
                              QStringLiteral("-f"),
                              QStringLiteral("lavfi"),
                              QStringLiteral("-i"),
                              QStringLiteral("testsrc=duration=60:size=640x480:rate=30"),
                              QStringLiteral("-f"),
                              QStringLiteral("lavfi"),
                              QStringLiteral("-i"),
                              QStringLiteral("sine=duration=60"),
                              QStringLiteral("-c:v"),
                              QStringLiteral("mpeg4"),
                              QStringLiteral("-c:a"),
                              QStringLiteral("mp3")};
    QFile sideFile(dir.filePath(QStringLiteral("side.srt")));
    if (!run(QStringLiteral("ffmpeg"), film + QStringList{side}) ||
        !run(QStringLiteral("ffmpeg"),
             film + QStringList{QStringLiteral("-i"), srt, QStringLiteral("-map"),
                                QStringLiteral("0"), QStringLiteral("-map"), QStringLiteral("1"),
                                QStringLiteral("-map"), QStringLiteral("2"),
                                QStringLiteral("-metadata:s:s:0"), QStringLiteral("language=jpn"),
                                track}) ||
        !sideFile.open(QIODevice::WriteOnly) ||
        sideFile.write(QStringEncoder("Shift_JIS").encode(subtitleLines())) < 0) {
        std::fprintf(stderr, "cannot generate the films with ffmpeg\n");
        return 1;
    }
    sideFile.close();

    struct Case
    {
        const char* name;
        QString source;
        int subtitle;
        std::vector<double> times;
    };
    std::vector<Case> cases = {{"without subtitles", side, 0, {}},
                               {"Shift-JIS side file", side, 1, {}},
                               {"track of the film", track, 1, {}}};
    const QString output = dir.filePath(QStringLiteral("out.mp4"));
    for (int round = 0; round < rounds; ++round) {
        // Each round in another order, so that a drift in the machine's load favours none.
        for (size_t turn = 0; turn < cases.size(); ++turn) {
            Case& c = cases[(turn + static_cast<size_t>(round)) % cases.size()];
            ThConvertInfoObjectList queue;
            queue.Settings.Quality = 1;
            queue.Settings.Subtitle = static_cast<std::uint8_t>(c.subtitle);
            QStringList args;
            for (const QByteArray& arg :
                 tovilo::splitCommandLine(queue.BuildArguments(c.source.toUtf8(), output.toUtf8())))
                args << QString::fromUtf8(arg);
            QElapsedTimer clock;
            clock.start();
            if (!run(QStringLiteral(BENCH_WRAPPER), args)) {
                std::fprintf(stderr, "%s: the conversion failed\n", c.name);
                return 1;
            }
            c.times.push_back(clock.nsecsElapsed() / 1e9);
            QFile::remove(output);
        }
    }
    std::printf("subtitles: 60 s of 640x480 mpeg4+mp3 to quality 1 (320x240 mp4), %d rounds\n",
                rounds);
    const double plain = median(cases[0].times);
    for (const Case& c : cases)
        std::printf("  %-22s median %6.2f s  ratio %.3f (aim <= 1.15)\n", c.name, median(c.times),
                    median(c.times) / plain);
    return 0;
}
