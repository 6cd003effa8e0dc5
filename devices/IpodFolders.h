#pragma once

#include <QByteArray>

namespace tovilo {

// Makes sure every folder the hand-over writes into on the device mounted at `mountPoint` is
// the device's own: the control folder `controlDir`, its iTunes, Music (with F00 and on, as
// many as `musicFolders`), Artwork and Device. A missing one is made here; one that is a link,
// no folder, or on another file system than the mount point refuses the device with
// MediaFailure::ForeignFolder before anything is written, since libgpod follows links when it
// copies files and writes artwork.
void checkIpodFolders(const QByteArray& mountPoint, const QByteArray& controlDir, int musicFolders);

} // namespace tovilo
