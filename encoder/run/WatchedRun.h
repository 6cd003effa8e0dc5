#pragma once

#include "oscore/Child.h"
#include "oscore/SignalPipe.h"

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The programs the wrapper runs (ffprobe, ffmpeg), watched for our stop signals and for the end
// of the program that started us.
namespace tovilo {

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
    int passFd = -1;       // a descriptor the program (of a pipeline: the last) gets as it is
    // Told each program's pid once it runs; asked at every look whether the run costs more
    // than it may (true kills it, as a stop does).
    std::function<void(pid_t)> started;
    std::function<bool()> overBudget;
};

// Runs program with stdin from /dev/null and stdout and stderr into one pipe whose bytes go to
// onOutput (false from it: they can no longer be delivered). The child is killed as soon as the
// watch says stop, the time limit is over or it goes over its budget, and when we die.
RunResult runWatched(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                     const std::function<bool(std::string_view)>& onOutput,
                     const WatchedRun& how = {});

// The same for runs of the program joined by pipes, each one's standard output the next one's
// standard input: what each says goes to its own onOutput, and a stop, the time limit or the
// budget ends them all. One result per stage.
std::vector<RunResult>
runWatchedPipeline(const std::string& program, const std::vector<std::vector<std::string>>& stages,
                   Watch& watch, const std::vector<std::function<bool(std::string_view)>>& onOutput,
                   const WatchedRun& how = {});

} // namespace tovilo
