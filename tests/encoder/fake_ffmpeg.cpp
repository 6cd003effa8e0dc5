// Stands in for the system ffmpeg behind the wrapper. FAKE_FFMPEG_MODE chooses what it does:
//   exit      exit with FAKE_FFMPEG_CODE
//   signal    die by signal FAKE_FFMPEG_SIGNAL
//   progress  print progress lines ending in CR, each cut inside its time value, then exit 0
//   hold      print "pid=<pid>" and one progress line, then wait until killed
//   args      print each argument followed by NUL, then "stdin=<bytes it could read>"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void put(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            std::exit(90);
        done += static_cast<size_t>(n);
    }
}

int number(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* modeVariable = std::getenv("FAKE_FFMPEG_MODE");
    const std::string mode = modeVariable ? modeVariable : "";
    if (mode == "exit")
        return number("FAKE_FFMPEG_CODE");
    if (mode == "signal") {
        std::signal(number("FAKE_FFMPEG_SIGNAL"), SIG_DFL);
        std::raise(number("FAKE_FFMPEG_SIGNAL"));
        return 91;
    }
    if (mode == "progress") {
        put("Output #0, mp4, to 'file:/out.mp4':\n");
        for (int second = 1; second <= 3; ++second) {
            put("frame=  " + std::to_string(second * 30) +
                " fps=0.0 q=2.0 size=  " + std::to_string(second * 10) + "kB time=00:0");
            ::usleep(50 * 1000);
            put("0:0" + std::to_string(second) + ".50 bitrate= 80.0kbits/s speed=1x    \r");
        }
        put("\nvideo:30kB audio:5kB\n");
        return 0;
    }
    if (mode == "hold") {
        put("pid=" + std::to_string(::getpid()) + "\n");
        put("frame=   45 fps=0.0 q=2.0 size=  15kB time=00:00:01.50 bitrate= 80.0kbits/s\r");
        for (;;)
            ::pause();
    }
    if (mode == "args") {
        for (int i = 1; i < argc; ++i)
            put(std::string(argv[i], std::strlen(argv[i]) + 1));
        char buffer[256];
        size_t total = 0;
        ssize_t n;
        while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0)
            total += static_cast<size_t>(n);
        put("stdin=" + std::to_string(total));
        return 0;
    }
    put("fake_ffmpeg: unknown FAKE_FFMPEG_MODE\n");
    return 92;
}
