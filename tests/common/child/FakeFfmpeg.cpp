// Stands in for the system ffmpeg behind the wrapper. FAKE_FFMPEG_MODE chooses what it does:
//   exit      print FAKE_FFMPEG_TEXT, exit with FAKE_FFMPEG_CODE
//   signal    die by signal FAKE_FFMPEG_SIGNAL
//   progress  print progress lines ending in CR, each cut inside its time value, then exit 0
//   hold      start the output, print "pid=<pid>" and one progress line, wait until killed
//   args      print each argument followed by NUL, then "stdin=<bytes it could read>"
//   trailer   leave the output cut short, report the failed trailer and close as ffmpeg 5.1
//             does on a full disk, and exit 0 all the same
// Whenever it exits 0 otherwise, it has written a small valid MP3 to its output argument.
// With FAKE_FFMPEG_READY and FAKE_FFMPEG_GO set, it creates the first file before it writes
// its output and waits until the second exists (for races set up by a test).

#include "Child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using child::put;

int number(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : 0;
}

// Three MPEG-1 Layer III frames, 128 kbit/s at 44100 Hz: 417 bytes each, silent.
std::string mp3Frames(int count)
{
    std::string frame(417, '\0');
    frame[0] = '\xFF';
    frame[1] = '\xFB';
    frame[2] = '\x90';
    frame[3] = '\x44';
    std::string frames;
    for (int i = 0; i < count; ++i)
        frames += frame;
    return frames;
}

// FAKE_FFMPEG_CUT=<n> keeps only the first n bytes, as a run that lost the rest would.
void writeOutput(int argc, char** argv, std::string content)
{
    const char* ready = std::getenv("FAKE_FFMPEG_READY");
    const char* go = std::getenv("FAKE_FFMPEG_GO");
    if (ready != nullptr && go != nullptr) {
        ::close(::open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        for (int i = 0; i < 2000 && ::access(go, F_OK) != 0; ++i)
            ::usleep(10 * 1000);
    }
    if (const char* cut = std::getenv("FAKE_FFMPEG_CUT"))
        content.resize(std::min(content.size(), static_cast<size_t>(std::atoi(cut))));
    std::string path = argv[argc - 1];
    if (path.rfind("file:", 0) == 0)
        path.erase(0, 5);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        put("fake_ffmpeg: " + path + ": " + std::strerror(errno) + "\n");
        std::exit(1);
    }
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (::close(fd) != 0 || !written)
        std::exit(93);
}

} // namespace

int child::fakeFfmpeg(int argc, char** argv)
{
    const char* modeVariable = std::getenv("FAKE_FFMPEG_MODE");
    const std::string mode = modeVariable ? modeVariable : "";
    if (mode == "exit") {
        if (const char* text = std::getenv("FAKE_FFMPEG_TEXT"))
            put(text);
        const int code = number("FAKE_FFMPEG_CODE");
        if (code == 0)
            writeOutput(argc, argv, mp3Frames(3));
        return code;
    }
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
        writeOutput(argc, argv, mp3Frames(3));
        return 0;
    }
    if (mode == "hold") {
        writeOutput(argc, argv, mp3Frames(2));
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
        writeOutput(argc, argv, mp3Frames(3));
        return 0;
    }
    if (mode == "trailer") {
        const std::string output = argv[argc - 1];
        writeOutput(argc, argv, mp3Frames(3).substr(0, 1000));
        put("Error writing trailer of " + output + ": No space left on device\n");
        put("frame=   90 fps=0.0 q=2.0 Lsize=  1kB time=00:00:03.00 bitrate= 2.7kbits/s\n");
        put("Error closing file " + output + ": No space left on device\n");
        put("[aac @ 0x5581e9c1e900] Qavg: 503.517\n");
        return 0;
    }
    put("fake_ffmpeg: unknown FAKE_FFMPEG_MODE\n");
    return 92;
}
