#include "encoder/run/BurnInBudget.h"

#include "encoder/run/TimeRewriter.h"
#include "encoder/run/WatchedRun.h"
#include "oscore/Fd.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tovilo {

namespace {

// Processor seconds between two looks at the pace: long enough that ffmpeg's start and the
// jitter of its progress lines do not count.
constexpr double kStretchCpu = 3;
// Without a progress line since the stretch began (ffmpeg's start, libass loading the fonts, a
// frame that takes for ever), more.
constexpr double kUnmarkedStretchCpu = 10;
// A run slower than this is one the user waits for: only then is the yardstick measured.
constexpr double kRealTime = 1;
// A yardstick that came out too small to read.
constexpr double kNoPosition = 1e-3;
// What is kept of a sample's output to find its last position in.
constexpr size_t kSampleTail = 4096;

struct Usage
{
    double cpu = 0; // seconds, all threads
    std::int64_t memory = 0;
};

std::string readProcFile(const std::string& path)
{
    const UniqueFd file = openFile(path.c_str(), O_RDONLY);
    std::string text;
    if (!file.isValid())
        return text;
    char buffer[4096];
    std::int64_t got;
    while ((got = readSome(file.get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

std::int64_t statusKilobytes(const std::string& status, std::string_view key)
{
    const size_t at = status.find(key);
    return at == std::string::npos ? 0 : std::atoll(status.c_str() + at + key.size());
}

std::optional<Usage> usageOfOne(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string stat = readProcFile(dir + "/stat");
    // The name in parentheses may hold anything; the fields follow its last ')'. utime and
    // stime are the 12th and 13th after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    const char* field = stat.c_str() + close + 1;
    char* end = nullptr;
    double ticks = 0;
    for (int i = 0; i < 13; ++i) {
        while (*field == ' ')
            ++field;
        const double value = std::strtod(field, &end);
        if (i >= 11)
            ticks += value;
        field = end;
        while (*field != ' ' && *field != '\0')
            ++field;
    }
    Usage usage;
    usage.cpu = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    const std::string status = readProcFile(dir + "/status");
    usage.memory = (statusKilobytes(status, "VmRSS:") + statusKilobytes(status, "VmSwap:")) * 1024;
    return usage;
}

// What the processes spend together; nothing once one of them cannot be read.
std::optional<Usage> usageOf(const std::vector<pid_t>& pids)
{
    Usage total;
    for (pid_t pid : pids) {
        const std::optional<Usage> usage = usageOfOne(pid);
        if (!usage)
            return std::nullopt;
        total.cpu += usage->cpu;
        total.memory += usage->memory;
    }
    return total;
}

// The last "time=<seconds>" of passed-on output, or nothing.
std::optional<double> lastPosition(std::string_view text)
{
    constexpr std::string_view key = "time=";
    for (size_t at = text.rfind(key); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : text.rfind(key, at - 1)) {
        const size_t from = at + key.size();
        if (from < text.size() && text[from] >= '0' && text[from] <= '9')
            return std::strtod(std::string(text.substr(from, 32)).c_str(), nullptr);
    }
    return std::nullopt;
}

double childrenCpu()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string megabytes(std::int64_t bytes)
{
    return std::to_string(bytes >> 20) + " MB";
}

} // namespace

BurnInBudget::BurnInBudget(Sample sample, std::int64_t memoryLimit)
    : m_sample(std::move(sample)), m_memoryLimit(memoryLimit)
{
}

std::int64_t BurnInBudget::defaultMemoryLimit()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::int64_t quarter =
        pages > 0 && pageSize > 0 ? std::int64_t(pages) * pageSize / 4 : std::int64_t(0);
    return std::clamp(quarter, std::int64_t(512) << 20, std::int64_t(2048) << 20);
}

void BurnInBudget::started(pid_t pid)
{
    m_pids.push_back(pid);
}

void BurnInBudget::progress(std::string_view output)
{
    const std::optional<double> position = lastPosition(output);
    if (!position)
        return;
    m_position = *position;
    if (m_marked || m_pids.empty())
        return;
    // A stretch begins with a converted frame: ffmpeg's start, and what it did while we looked
    // aside, are not counted against it.
    if (const std::optional<Usage> usage = usageOf(m_pids)) {
        m_marked = true;
        m_markCpu = usage->cpu;
        m_markPosition = m_position;
    }
}

bool BurnInBudget::exceeded()
{
    if (m_pids.empty() || !m_why.empty())
        return !m_why.empty();
    std::optional<Usage> usage = usageOf(m_pids);
    if (!usage)
        return false;
    if (usage->memory > m_memoryLimit) {
        m_why = "drawing the subtitles took more than " + megabytes(m_memoryLimit) + " of memory";
        return true;
    }
    const double spent = usage->cpu - m_markCpu;
    if (spent < (m_marked ? kStretchCpu : kUnmarkedStretchCpu))
        return false;
    const double cost = spent / std::max(m_position - m_markPosition, kNoPosition);
    m_markCpu = usage->cpu;
    m_markPosition = m_position;
    if (cost <= std::max(kRealTime, m_without ? kSlowdown * *m_without : 0.0))
        return false;
    // Slower than the film lasts and no yardstick yet, or slower than the last one allows:
    // measured afresh at this place, where the picture may be harder to convert.
    m_without = m_sample ? m_sample(m_position) : std::nullopt;
    if (!m_without)
        m_without = kRealTime;
    if (cost > kSlowdown * *m_without) {
        m_why = "drawing the subtitles made the conversion " +
                std::to_string(std::lround(cost / std::max(*m_without, kNoPosition))) +
                " times slower";
        return true;
    }
    // ffmpeg went on meanwhile, its progress not yet read: the next stretch begins anew.
    m_marked = false;
    if ((usage = usageOf(m_pids)))
        m_markCpu = usage->cpu;
    return false;
}

std::optional<double> sampleCost(const std::string& ffmpeg, const std::vector<std::string>& args,
                                 Watch& watch)
{
    // Long enough to reach a few seconds of source, short enough to stay a look aside.
    constexpr int kSampleLimitSeconds = 10;
    std::string tail;
    WatchedRun how;
    how.timeLimit = kSampleLimitSeconds;
    const double before = childrenCpu();
    const RunResult end = runWatched(
        ffmpeg, args, watch,
        [&](std::string_view piece) {
            tail.append(piece);
            if (tail.size() > 2 * kSampleTail)
                tail.erase(0, tail.size() - kSampleTail);
            return true;
        },
        how);
    const double spent = childrenCpu() - before;
    const std::optional<double> reached = lastPosition(rewriteTimes(tail));
    if (end.startError != 0 || end.abandoned || !reached || *reached <= 0)
        return std::nullopt;
    return spent / *reached;
}

} // namespace tovilo
