#pragma once

// lib/ffmpeg: takes the program's older encoder dialect, runs the system ffmpeg with the
// equivalent current arguments and passes its output on with progress times in seconds. It
// reports success only for a complete output file, ends every failure with one line naming
// the reason, and never leaves ffmpeg running once the program that started it is gone.

#include "FfmpegLog.h"
#include "SourceProbe.h"
#include "WrapperArgs.h"
#include "oscore/Child.h"
#include "oscore/SignalPipe.h"

#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace tovilo {

// The whole run for the wrapper's arguments; returns its exit code.
int runWrapper(const std::vector<std::string>& args);

// ffmpeg: the program found on PATH, empty for none.
int convert(const std::string& ffmpeg, const std::vector<std::string>& args,
            const Request& request);

// The first executable "ffmpeg" on PATH that is not this wrapper: a PATH that holds our own lib/
// folder must not make us run ourselves.
std::string findFfmpeg();

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

// Runs program with stdin from /dev/null and stdout and stderr into one pipe whose bytes go to
// onOutput (false from it: they can no longer be delivered). The child is killed as soon as the
// watch says stop or the time limit (seconds, 0 for none) is over.
RunResult runWatched(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                     const std::function<bool(std::string_view)>& onOutput, int timeLimit = 0);

// The output path as it was before the run, so that a failed run removes only what it made or
// changed: never a link, a folder or a device, nor a file the run did not touch.
class OutputFile
{
public:
    explicit OutputFile(std::string path);

    bool isLink() const;
    bool isEmptyFile() const;
    void removeIfOurs() const;

private:
    std::string m_path;
    struct stat m_before = {};
    bool m_existed = false;
};

// The source as the ffprobe that comes with the ffmpeg found sees it. Without one, or for a
// source it cannot read, the source stays unknown: the conversion goes on with ffmpeg's own
// choices and ffmpeg reports what is wrong.
SourceInfo probeSource(const std::string& ffmpeg, const Request& request, Watch& watch);

struct Failure
{
    FailureKind kind;
    std::string detail;
};

// Why a run that ffmpeg finished did not give a good file. The wrapper looks at the input and
// the output folder itself: that is surer than reading ffmpeg's messages.
Failure diagnose(const Request& request, const FfmpegLog& log, int exitCode,
                 const std::string& checkProblem);

} // namespace tovilo
