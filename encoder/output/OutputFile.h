#pragma once

#include "oscore/Fd.h"
#include "oscore/FileInfo.h"
#include "protocol/WrapperFailure.h"

#include <optional>
#include <string>

namespace tovilo {

// The output path as it was before the run, so that a failed run removes only what it made or
// changed: never a link, a folder or a device, nor a file the run did not touch. The output
// folder is opened once, at the start: the name is looked at and removed in that folder
// alone, so a folder renamed away and replaced by a link meanwhile leads nowhere else.
class OutputFile
{
public:
    explicit OutputFile(const std::string& path);

    bool isLink() const;

    // Takes hold of the file ffmpeg is to write: the empty file the program reserved (or,
    // with -y, an earlier file of ours with one name), opened without following a link and
    // checked on what was opened, or a new file made here. Whoever owns it (a stick or a share
    // may give every file one fixed owner), it must be the regular file seen at the start, with
    // no other name. The output folder may be shared: ffmpeg then writes through the
    // descriptor (/proc/self/fd/N), so a name swapped for a link or another file afterwards
    // changes nothing. Returns why there is none to hold.
    std::optional<Failure> hold(bool overwrite);
    int heldFd() const { return m_held.get(); }
    // The output's path still leads to the held file, through the folder opened at the start.
    bool stillNamed() const;

    void removeIfOurs() const;

private:
    // What stands at the output's name now, a link not followed.
    std::optional<FileInfo> atName() const;

    std::string m_path;
    std::string m_folderPath;
    std::string m_name;
    UniqueFd m_folder;
    int m_folderError = 0;
    std::optional<FileInfo> m_before; // nothing stood at the name
    UniqueFd m_held;
};

} // namespace tovilo
