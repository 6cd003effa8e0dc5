#pragma once

// Where everything sits in each window, in pixels of the client area. The windows place their
// controls from these tables, the artwork program draws the backgrounds and button pictures to
// fit them, the tests check the pictures against them, and the build writes the click points
// the screen scripts use from them.

#include <QColor>
#include <QRect>
#include <QSize>

namespace tovilo::layout {

// A picture button: its artwork name (the files <artwork>_normal.png etc.) and its place.
struct ButtonPlace
{
    const char* artwork;
    QRect rect;
};

// The colour of the dialogs' face, where a control lies over the background picture.
constexpr QRgb dialogFace = qRgb(244, 242, 235);

namespace mainWindow {
constexpr QSize clientSize(471, 266);
constexpr QSize backgroundSize(474, 277); // larger than the window: its edge never shows
constexpr ButtonPlace addFile{"addfile", {18, 9, 130, 38}};
constexpr ButtonPlace addDvd{"adddvd", {159, 8, 136, 40}};
constexpr ButtonPlace listDelete{"listdelete", {308, 9, 65, 38}};
constexpr ButtonPlace config{"config", {391, 9, 65, 38}};
constexpr ButtonPlace convertCancel{"convertcancel", {20, 245, 65, 21}};
// Right of the stop button; while paused the same place shows the resume pictures.
constexpr ButtonPlace convertPause{"pause", {90, 245, 65, 21}};
constexpr ButtonPlace convertResume{"resume", convertPause.rect};
constexpr ButtonPlace convertMovie{"convertmovie", {341, 63, 127, 38}};
constexpr ButtonPlace convertMovieToLibrary{"convertmovie2itunes", {341, 104, 127, 38}};
constexpr ButtonPlace convertMusic{"convertmusic", {341, 155, 127, 38}};
constexpr ButtonPlace convertMusicToLibrary{"convertmusic2itunes", {341, 196, 127, 38}};
constexpr ButtonPlace buttons[] = {addFile,       addDvd,
                                   listDelete,    config,
                                   convertCancel, convertPause,
                                   convertMovie,  convertMovieToLibrary,
                                   convertMusic,  convertMusicToLibrary};
constexpr QRect fileList(20, 63, 313, 169);
// Starts right of the pause button.
constexpr QRect situation(161, 249, 304, 12);
} // namespace mainWindow

namespace selectDvd {
constexpr QSize clientSize(310, 308);
constexpr QSize backgroundSize(314, 311);
constexpr ButtonPlace refresh{"dvd_refresh", {231, 33, 65, 32}};
constexpr ButtonPlace selectAll{"dvd_selectall", {16, 212, 73, 32}};
constexpr ButtonPlace unselectAll{"dvd_anselectall", {104, 212, 85, 32}};
constexpr ButtonPlace ok{"dvd_ok", {125, 265, 73, 38}};
constexpr ButtonPlace cancel{"dvd_cancel", {212, 265, 84, 38}};
constexpr ButtonPlace buttons[] = {refresh, selectAll, unselectAll, ok, cancel};
constexpr QRect driveList(20, 38, 203, 20);
constexpr QRect chapterList(20, 94, 274, 110);
} // namespace selectDvd

namespace config {
// Two rows more than the original dialog (the video format, the subtitles); the bottom band
// moves down by them.
constexpr int codecRow = 46;
constexpr int subtitleRow = 34;
// Below them, the watched folder: its caption, the folder with its button, what is done.
constexpr int watchTop = 300;
constexpr int watchRows = 104;
constexpr int addedRows = codecRow + subtitleRow + watchRows;
constexpr QSize clientSize(470, 273 + addedRows);
constexpr QSize backgroundSize(474, 277 + addedRows);
constexpr ButtonPlace selectDir{"config_selectdir", {365, 155, 65, 32}};
constexpr ButtonPlace ok{"config_ok", {289, 231 + addedRows, 65, 38}};
constexpr ButtonPlace cancel{"config_cancel", {372, 231 + addedRows, 83, 38}};
constexpr ButtonPlace selectWatchDir{"config_selectdir", {365, watchTop + 30, 65, 32}};
constexpr ButtonPlace buttons[] = {selectDir, selectWatchDir, ok, cancel};
constexpr QRect quality(120, 29, 137, 20);
constexpr QRect ratio(120, 92, 137, 20);
constexpr QRect saveDir(105, 160, 251, 20);
// The check box is painted in the dialog face colour over the background picture.
constexpr QRect openDir(105, 188, 16, 17);
constexpr QRect openDirCaption(121, 189, 151, 15);
constexpr QRect codec(120, 233, 180, 20);
constexpr QRect subtitle(120, 233 + subtitleRow, 180, 20);
constexpr QRect watchDir(105, watchTop + 36, 251, 20);
constexpr QRect watchMode(120, watchTop + 71, 236, 20);
constexpr int dividerY = 222 + addedRows;
} // namespace config

} // namespace tovilo::layout
