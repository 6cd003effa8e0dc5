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

// The open dialog's only filter: one pattern per extension, in any case.
QString videoNameFilter();

} // namespace tovilo
