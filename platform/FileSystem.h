#pragma once

#include <QByteArray>

// Files and folders by path, for the layers above that must not call the C library directly.
// Paths are byte strings in the system code page. A function that fails returns false and
// leaves errno as the failing call set it.
namespace tovilo {

// Something exists at `path` (a link is followed).
bool pathExists(const QByteArray& path);
// Something that is not a folder exists at `path` (a link is followed).
bool fileExists(const QByteArray& path);

// Creates one folder (not its parents) with mode 0777 less the umask.
bool makeDirectory(const QByteArray& path);
// Removes a file or a link, never a folder.
bool removeFile(const QByteArray& path);

} // namespace tovilo
