#pragma once

#include <QTemporaryDir>

#include <memory>

namespace tovilo {

// The scratch folders the hand-over makes (thumbnails, a trial database): "Tovilo-XXXXXX" in
// a folder of the user's cache that nobody else may enter, each marked as ours the moment it is
// made, so that one left behind by a killed program is known again and nothing else ever is.
// Nothing when no such folder can be made.
std::unique_ptr<QTemporaryDir> makeScratchFolder();

// Removes this user's scratch folders left behind by an earlier run: only marked folders in
// that private place, never through a link. Only while no other instance runs: theirs look
// the same.
void removeStaleScratchFolders();

} // namespace tovilo
