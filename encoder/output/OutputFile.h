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
// The conversion is written to a partial file beside it (partialOutputName) and takes the
// output's name only once it is complete and on disk, so whatever happens, the name holds the
// held file or the whole conversion, never a part of one.
class OutputFile
{
public:
    explicit OutputFile(const std::string& path);
    // The partial file goes unless it was put in place: no run leaves one behind, unless it is
    // killed outright.
    ~OutputFile();

    bool isLink() const;

    // Takes hold of the file ffmpeg is to write: the empty file the program reserved (or,
    // with -y, an earlier file of ours with one name), opened without following a link and
    // checked on what was opened, or a new file made here. Whoever owns it (a stick or a share
    // may give every file one fixed owner), it must be the regular file seen at the start, with
    // no other name. Then creates the partial file, named after the held file; a leftover of
    // ours under that name (a run killed outright) goes first. The output folder may be shared:
    // ffmpeg writes the partial file through its descriptor (/proc/self/fd/N), so a name swapped
    // for a link or another file afterwards changes nothing. Returns why there is none to hold
    // or write.
    std::optional<Failure> hold(bool overwrite);
    // The partial file, for ffmpeg and the checks.
    int partialFd() const { return m_partial.get(); }
    // Puts the finished partial file, synced to disk, in place of the held file, and syncs the
    // folder. Returns why it cannot be, with nothing of the conversion at the output's name.
    std::optional<Failure> putInPlace();

    // The held file, if the run made or changed it.
    void removeIfOurs() const;

private:
    // What stands at the output's name now, a link not followed.
    std::optional<FileInfo> atName() const;
    // The output's path still leads to the held file, through the folder opened at the start.
    bool stillNamed() const;
    std::optional<Failure> createPartial();

    std::string m_path;
    std::string m_folderPath;
    std::string m_name;
    UniqueFd m_folder;
    int m_folderError = 0;
    std::optional<FileInfo> m_before; // nothing stood at the name
    UniqueFd m_held;
    std::string m_partialName; // empty once put in place
    UniqueFd m_partial;
};

} // namespace tovilo
