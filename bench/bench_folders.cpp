// Folder benchmark, on the main window in-process (offscreen). Reports:
// - adding a tree of 10,000 entries (nested 5 deep, a third of them videos) by a drop: the
//   window thread's longest stall (the largest gap between ticks of a 5 ms timer on it), the
//   walk's wall time until the rows are in, and the growth of the process's resident memory;
// - a watched folder into which 200 videos are dropped at once: the time from the last being
//   closed until all are in the list (it includes the settle time of 10 s).
// To repeat it:
//   cmake -S . -B build -DTOVILO_BENCH=ON && cmake --build build --target bench_folders
//   QT_QPA_PLATFORM=offscreen build/bench/bench_folders [entries]
#include "app/UnitMain.h"
#include "common/Controls.h"
#include "common/FakeServices.h"
#include "engine/ConversionEngine.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace tovilo;
using namespace tovilo::test;

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

// The largest gap between ticks of a short timer on this thread while `done` is false.
struct StallMeter
{
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer timer;

    StallMeter()
    {
        clock.start();
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        last = clock.nsecsElapsed();
        timer.start();
    }
};

bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

// `entries` files and folders, 5 levels deep; every third file a video.
int makeTree(const QString& root, int entries)
{
    int made = 0;
    int videos = 0;
    QStringList level{root};
    for (int depth = 0; depth < 5 && made < entries; ++depth) {
        QStringList next;
        for (const QString& folder : level) {
            for (int i = 0; i < 4 && made < entries; ++i, ++made) {
                const QString sub = folder + QStringLiteral("/season %1").arg(i + 1);
                QDir().mkpath(sub);
                next << sub;
            }
        }
        level = next;
    }
    for (int i = 0; made < entries; ++i, ++made) {
        const QString& folder = level[i % level.size()];
        const bool video = i % 3 == 0;
        videos += video;
        touch(folder +
              (video ? QStringLiteral("/第%1話.ts") : QStringLiteral("/notes %1.txt")).arg(i));
    }
    return videos;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;
    QTemporaryDir work;
    FakePrompt prompt;
    FakeShell shell;
    FakeDrives drives;
    NoMediaDevice library;
    shell.documents = QFile::encodeName(work.filePath(QStringLiteral("Documents")));
    QDir().mkpath(QString::fromUtf8(shell.documents));

    const int videos = makeTree(work.filePath(QStringLiteral("tree")), entries);
    {
        TFormMain form(Services{prompt, shell, drives, library});
        form.show();
        QApplication::processEvents();
        const long before = residentKb();
        StallMeter meter;
        QElapsedTimer wall;
        wall.start();
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(work.filePath(QStringLiteral("tree")))});
        dropOn(form.findChild<QTableWidget*>(QStringLiteral("ListViewConvertFile"))->viewport(),
               mime);
        while (form.engine().jobs().Count() < videos && wall.elapsed() < 120000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        std::printf("tree of %d entries: %d videos in the list after %.2f s; longest stall of "
                    "the window's thread %.1f ms; resident memory +%ld kB\n",
                    entries, form.engine().jobs().Count(), wall.elapsed() / 1000.0,
                    meter.longest / 1e6, residentKb() - before);
    }

    // The watched folder: 200 videos at once.
    const QString watched = work.filePath(QStringLiteral("watched"));
    QDir().mkpath(watched);
    QFile ini(QFile::decodeName(shell.documents) + QStringLiteral("/Tovilo/config.ini"));
    QDir().mkpath(QFileInfo(ini).path());
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    // Audio mode into a folder with no lib/ffmpeg: the runs fail at once and cost nothing.
    ini.write("[CONF]\nWATCHDIR=" + QFile::encodeName(watched) + "\nWATCHMODE=3\nOPENDIR=0\n");
    ini.close();
    TFormMain form(Services{prompt, shell, drives, library});
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 1000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    for (int i = 0; i < 200; ++i)
        touch(watched + QStringLiteral("/rec%1.ts").arg(i));
    wall.restart();
    while (form.engine().jobs().Count() < 200 && wall.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    std::printf("watched folder: %d of 200 new videos in the list %.2f s after the last was "
                "closed (settle time 10 s)\n",
                form.engine().jobs().Count(), wall.elapsed() / 1000.0);
    return 0;
}
