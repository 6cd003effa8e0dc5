#include "encoder/run/WatchedRun.h"

#include <csignal>
#include <unistd.h>

namespace tovilo {

namespace {

// How often the wrapper looks whether the program that started it is still there.
constexpr int kWatchIntervalMs = 250;

} // namespace

Watch::Watch() : m_parent(::getppid()) {}

bool Watch::start()
{
    SignalPipe::Options options;
    options.keepIgnored = false;
    options.restartCalls = false;
    return m_signals.install({SIGTERM, SIGINT, SIGHUP, SIGCHLD}, options);
}

void Watch::update()
{
    unsigned char numbers[64];
    int n;
    while ((n = m_signals.take(numbers, sizeof numbers)) > 0) {
        for (int i = 0; i < n; ++i) {
            if (numbers[i] != SIGCHLD && m_stopSignal == 0)
                m_stopSignal = numbers[i];
        }
    }
    if (::getppid() != m_parent)
        m_parentGone = true;
}

namespace {

RunOptions watchedOptions(Watch& watch, const WatchedRun& how)
{
    RunOptions options;
    options.timeoutMs = how.timeLimit > 0 ? how.timeLimit * 1000 : -1;
    options.stopFd = watch.fd();
    options.pollMs = kWatchIntervalMs;
    options.stopRequested = [&watch, &how] {
        watch.update();
        return watch.stopping() || (how.overBudget && how.overBudget());
    };
    options.onStarted = how.started;
    // ffmpeg stays in our process group, so that whoever ends the group (or pauses it) reaches
    // it too; killed along with us if we are killed on our own. We are single-threaded, so the
    // death signal is tied to this process's life.
    options.child.ownGroup = how.ownGroup;
    options.child.dieWithParent = true;
    options.child.passFd = how.passFd;
    return options;
}

// What a program says, passed on; false from it means our reader is gone.
std::function<bool(std::string_view)>
delivering(Watch& watch, const std::function<bool(std::string_view)>& onOutput)
{
    return [&watch, &onOutput](std::string_view piece) {
        if (!onOutput(piece))
            watch.readerGone();
        return true;
    };
}

} // namespace

std::vector<RunResult>
runWatchedPipeline(const std::string& program, const std::vector<std::vector<std::string>>& stages,
                   Watch& watch, const std::vector<std::function<bool(std::string_view)>>& onOutput,
                   const WatchedRun& how)
{
    std::vector<PipelineStage> pipeline;
    for (std::size_t i = 0; i < stages.size(); ++i) {
        PipelineStage stage;
        stage.argv.push_back(program);
        stage.argv.insert(stage.argv.end(), stages[i].begin(), stages[i].end());
        stage.onOutput = delivering(watch, onOutput.at(i));
        pipeline.push_back(std::move(stage));
    }
    return runPipeline(pipeline, watchedOptions(watch, how));
}

RunResult runWatched(const std::string& program, const std::vector<std::string>& args, Watch& watch,
                     const std::function<bool(std::string_view)>& onOutput, const WatchedRun& how)
{
    return runWatchedPipeline(program, {args}, watch, {onOutput}, how).front();
}

} // namespace tovilo
