#pragma once

#include <QString>

namespace tovilo {

// The scratch folders the hand-over makes (thumbnails, a trial database) for QTemporaryDir:
// "<temp>/Tovilo-XXXXXX", so that one left behind by a killed program is known again.
QString scratchFolderTemplate();

// Removes this user's scratch folders left behind by an earlier run. Only while no other
// instance runs: theirs look the same.
void removeStaleScratchFolders();

} // namespace tovilo
