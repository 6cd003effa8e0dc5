#pragma once

// Discs as people bring them, made for tests from clips that ffmpeg generates: a DVD-Video
// folder authored by dvdauthor, a DVD-VR recording and a copy-protected disc.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace tovilo::test {

// Runs a program to its end; empty on success, else what went wrong.
inline QString runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return program + QStringLiteral(" did not finish");
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
    return {};
}

// An NTSC DVD program stream (MPEG-2 video, AC-3 audio) of a test picture and a tone.
inline QString makeDvdClip(const QString& path, int seconds)
{
    const QString arguments = QStringLiteral(
        "-nostdin -v error -y -f lavfi -i testsrc=size=720x480:rate=30000/1001:duration=%1 "
        "-f lavfi -i sine=duration=%1 -target ntsc-dvd -aspect 4:3");
    return runTool(QStringLiteral("ffmpeg"), arguments.arg(seconds).split(u' ')
                                                 << QStringLiteral("file:") + path);
}

inline bool haveDvdAuthor()
{
    return !QStandardPaths::findExecutable(QStringLiteral("dvdauthor")).isEmpty();
}

// A finalised DVD-Video in `disc`: a main menu (VIDEO_TS.VOB), title set 1 with its own menu
// and a title, title set 2 with a title; each title has two chapters. Empty on success, else what
// went wrong.
inline QString authorDvdVideo(const QString& disc)
{
    const QDir work(disc + QStringLiteral(".work"));
    QDir().mkpath(work.path());
    const QString menu = work.filePath(QStringLiteral("menu.mpg"));
    const QString title = work.filePath(QStringLiteral("title.mpg"));
    for (const QString& error : {makeDvdClip(menu, 1), makeDvdClip(title, 2)}) {
        if (!error.isEmpty())
            return error;
    }
    const QString menus =
        QStringLiteral("<menus><video format=\"ntsc\"/><pgc><vob file=\"%1\"/></pgc></menus>")
            .arg(menu.toHtmlEscaped());
    const QString titles = QStringLiteral("<titles><video format=\"ntsc\"/><pgc>"
                                          "<vob file=\"%1\" chapters=\"0,1\"/></pgc></titles>")
                               .arg(title.toHtmlEscaped());
    QFile xml(work.filePath(QStringLiteral("disc.xml")));
    if (!xml.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ") + xml.fileName();
    xml.write(
        (QStringLiteral("<dvdauthor dest=\"%1\"><vmgm>%2</vmgm>").arg(disc.toHtmlEscaped(), menus) +
         QStringLiteral("<titleset>%1%2</titleset><titleset>%2</titleset></dvdauthor>")
             .arg(menus, titles))
            .toUtf8());
    xml.close();
    const QString error =
        runTool(QStringLiteral("dvdauthor"), {QStringLiteral("-x"), xml.fileName()});
    QDir(work).removeRecursively();
    return error;
}

// A DVD-VR recording in `disc`: DVD_RTAV with the programme in VR_MOVIE.VRO. The management
// file and the stills are stand-ins; nothing but the programme is read.
inline QString makeDvdVr(const QString& disc)
{
    const QDir rtav(disc + QStringLiteral("/DVD_RTAV"));
    QDir().mkpath(rtav.path());
    for (const char* name : {"VR_MANGR.IFO", "VR_MANGR.BUP", "VR_STILL.VRO"}) {
        QFile file(rtav.filePath(QLatin1String(name)));
        if (!file.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write ") + file.fileName();
    }
    return makeDvdClip(rtav.filePath(QStringLiteral("VR_MOVIE.VRO")), 2);
}

// Overwrites `path` with as many bytes of a fixed pseudo-random sequence, as an encrypted
// title reads without the disc key.
inline bool scramble(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes(file.size(), '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return file.seek(0) && file.write(bytes) == bytes.size();
}

} // namespace tovilo::test
