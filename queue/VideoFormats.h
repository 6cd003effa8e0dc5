#pragma once

#include <QByteArray>
#include <QList>

namespace tovilo {

// The extensions of the files the list takes from a drop or the open dialog: upper-case, with
// the dot. Whatever ffmpeg reads in them is converted; what it cannot read fails in its turn.
extern const QList<QByteArray> videoExtensions;

// True when the name ends in one of videoExtensions, whatever its letter case.
bool isVideoFileName(const QByteArray& name);

} // namespace tovilo
