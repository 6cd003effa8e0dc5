#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tovilo {

class Watch;

// What burning subtitles in may cost an ffmpeg run. A crafted script can make libass spend
// minutes on a frame or take gigabytes; such a run is stopped, to be made again without the
// subtitles, once ffmpeg holds more than the memory limit, or once it spends more processor time
// per second of film than the film lasts and kSlowdown times what the same conversion without
// subtitles spends at the same place. That yardstick is measured only when a run is that slow,
// so an ordinary run never pays for it.
class BurnInBudget
{
public:
    // Processor seconds per second of source that the conversion without subtitles spends from
    // a position (seconds converted) on; nothing when that could not be measured.
    using Sample = std::function<std::optional<double>(double position)>;

    static constexpr double kSlowdown = 4;

    explicit BurnInBudget(Sample sample, std::int64_t memoryLimit = defaultMemoryLimit());

    // Each process of the run, as it starts: their processor time and memory count together.
    void started(pid_t pid);
    // ffmpeg's output as passed on, progress times in seconds: how far the run has come.
    void progress(std::string_view output);
    // Looks at the run: true once it costs more than it may, and why() says how.
    bool exceeded();
    const std::string& why() const { return m_why; }

    // A quarter of the machine's memory, within 512 MiB and 2 GiB: several times what ffmpeg
    // holds for a 4K source, far below what leaves the machine without memory.
    static std::int64_t defaultMemoryLimit();

private:
    Sample m_sample;
    std::int64_t m_memoryLimit;
    std::vector<pid_t> m_pids;
    bool m_marked = false; // the current stretch began at a progress line
    double m_position = 0;
    double m_markCpu = 0; // processor time and position where the current stretch began
    double m_markPosition = 0;
    std::optional<double> m_without; // the yardstick, once measured
    std::string m_why;
};

// Runs ffmpeg with args (a few seconds of source into nothing) and returns the processor
// seconds it spent per second of source it converted; nothing when it converted none.
std::optional<double> sampleCost(const std::string& ffmpeg, const std::vector<std::string>& args,
                                 Watch& watch);

} // namespace tovilo
