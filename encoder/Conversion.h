#pragma once

// lib/ffmpeg: takes the program's older encoder dialect, runs the system ffmpeg with the
// equivalent current arguments and passes its output on with progress times in seconds. It
// reports success only for a complete output file, ends every failure with one line naming
// the reason, and never leaves ffmpeg running once the program that started it is gone.

#include "FfmpegLog.h"
#include "SourceProbe.h"
#include "WrapperArgs.h"
#include "oscore/Child.h"
#include "oscore/FileInfo.h"
#include "oscore/SignalPipe.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tovilo {

// The whole run for the wrapper's arguments; returns its exit code.
int runWrapper(const std::vector<std::string>& args);

// ffmpeg: the program found on PATH, empty for none.
int convert(const std::string& ffmpeg, const WrapperRequest& request);

// The first executable "ffmpeg" on PATH that is not this wrapper: a PATH that holds our own lib/
// folder must not make us run ourselves.
std::string findFfmpeg();

struct Failure
{
    FailureKind kind;
    std::string detail;
};

// Our stop signals and the end of the program that started us. The program may be killed
// outright, so nothing it does on its way out can be relied on: its end shows as our parent
// changing, or as the pipe it read our output from breaking.
class Watch
{
public:
    Watch();
    bool start();
    int fd() const { return m_signals.fd(); }

    // Takes in what happened since the last look.
    void update();

    void readerGone() { m_parentGone = true; }
    bool stopping() const { return m_stopSignal != 0 || m_parentGone; }
    bool parentGone() const { return m_parentGone; }
    int stopSignal() const { return m_stopSignal; }

private:
    SignalPipe m_signals;
    const pid_t m_parent;
    int m_stopSignal = 0;
    bool m_parentGone = false;
};

struct WatchedRun
{
    int timeLimit = 0;     // seconds, 0 for none
    bool ownGroup = false; // a process group of its own, killed whole
    int passFd = -1;       // a descriptor the program gets under the same number
};

// Runs program with stdin from /dev/null and stdout and stderr into one pipe whose bytes go to
// onOutput (false from it: they can no longer be delivered). The child is killed as soon as the
// watch says stop or the time limit is over, and when we die.
RunResult runWatched(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                     const std::function<bool(std::string_view)>& onOutput,
                     const WatchedRun& how = {});

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

// The source's size and time of change when the run begins: a source still being written (a
// recording) or cut meanwhile would give a short file that looks complete.
class SourceSnapshot
{
public:
    explicit SourceSnapshot(const std::string& path);
    bool changed() const;

private:
    std::string m_path;
    std::optional<FileInfo> m_before; // not a regular file, or not there
};

// The source as the ffprobe that comes with the ffmpeg found sees it. Without one, or for a
// source it cannot read, the source stays unknown: the conversion goes on with ffmpeg's own
// choices and ffmpeg reports what is wrong. hung: the probe was killed but never ended (a read
// from a hung mount).
SourceInfo probeSource(const std::string& ffmpeg, const WrapperRequest& request, Watch& watch,
                       bool* hung = nullptr);

// Why a run that ffmpeg finished did not give a good file. The wrapper looks at the input and
// the output folder itself: that is surer than reading ffmpeg's messages.
Failure diagnose(const WrapperRequest& request, const FfmpegLog& log, int exitCode,
                 const std::string& checkProblem);

} // namespace tovilo
