#pragma once

#include <QByteArray>

namespace tovilo {

// Decodes udev's "\xHH" escapes (as in /dev/disk/by-label names).
QByteArray decodeUdevEscapes(const QByteArray& name);

// The label udev found for the block device `deviceName` ("sr0", "sdb1"), from its by-label
// links below `devRoot`: the bytes blkid read (UTF-8), empty when there is none.
QByteArray udevLabel(const QByteArray& devRoot, const QByteArray& deviceName);

} // namespace tovilo
