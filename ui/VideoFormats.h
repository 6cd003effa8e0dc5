#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace tovilo {

// The extensions of the files the list takes from a drop or the open dialog: upper-case, with
// the dot. Whatever ffmpeg reads in them is converted; what it cannot read fails in its turn.
extern const QList<QByteArray> videoExtensions;

// True when the name ends in one of videoExtensions, whatever its letter case.
bool isVideoFileName(const QByteArray& name);

// The open dialog's only filter, "動画ファイル" with one pattern per extension in any case.
QString videoNameFilter();

// What a drop of anything else is told, once per drop.
QString unsupportedFileText();

} // namespace tovilo
