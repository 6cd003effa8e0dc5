// A child of the console runner's tests and benchmark; the first argument picks what it does.
#include "Child.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// "\r", "\n", "\0", "\\" and "\xHH" in an argument stand for the bytes they name.
std::string unescape(const char* text)
{
    std::string bytes;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            bytes += *p;
            continue;
        }
        switch (*++p) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case '0':
            bytes += '\0';
            break;
        case 'x':
            bytes += char(std::strtol(std::string(p + 1, 2).c_str(), nullptr, 16));
            p += 2;
            break;
        default:
            bytes += *p;
        }
    }
    return bytes;
}

// Waits until the reader has taken everything, so the next write lands in a read of its own.
void waitDrained()
{
    int waiting = 0;
    while (ioctl(STDOUT_FILENO, FIONREAD, &waiting) == 0 && waiting > 0)
        usleep(1000);
}

} // namespace

int child::runner(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "chunks") { // each chunk in a read of its own; the last one left in the pipe
        for (int i = 2; i < argc; ++i) {
            put(unescape(argv[i]));
            if (i + 1 < argc)
                waitDrained();
        }
        return 0;
    }
    if (mode == "exit")
        return std::atoi(argv[2]);
    if (mode == "signal") {
        std::signal(std::atoi(argv[2]), SIG_DFL);
        raise(std::atoi(argv[2]));
        return 99;
    }
    if (mode == "sleep" || mode == "ignoreterm") { // pid line, optional text, then quiet
        if (mode == "ignoreterm")
            std::signal(SIGTERM, SIG_IGN);
        put("pid " + std::to_string(getpid()) + "\n" + (argc > 3 ? unescape(argv[3]) : ""));
        usleep(useconds_t(std::atof(argv[2]) * 1e6));
        return 6;
    }
    if (mode == "lines") { // count lines, one per interval, then quiet
        for (int i = 0; i < std::atoi(argv[3]); ++i) {
            put("line " + std::to_string(i) + "\n");
            usleep(useconds_t(std::atoi(argv[2]) * 1000));
        }
        sleep(60);
        return 0;
    }
    if (mode == "burst" && argc == 3) { // count short lines as fast as a buffered stream goes
        static char buffer[1 << 16];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        const long count = std::atol(argv[2]);
        for (long i = 0; i < count; ++i)
            std::printf("line %07ld\n", i);
        return 0;
    }
    if (mode == "quiet" && argc == 3) { // silent for some seconds
        usleep(useconds_t(std::atof(argv[2]) * 1e6));
        return 0;
    }
    if (mode == "grandchild") { // leaves a grandchild holding the output pipe
        const pid_t pid = fork();
        if (pid == 0) {
            sleep(60);
            _exit(0);
        }
        put("grandchild " + std::to_string(pid) + "\n");
        return 3;
    }
    if (mode == "echo") { // echoes input lines until "quit"
        put("ready\n");
        char line[4096];
        while (std::fgets(line, sizeof line, stdin)) {
            put(line);
            if (std::strncmp(line, "quit", 4) == 0)
                return 0;
        }
        return 8;
    }
    if (mode == "eatone") { // takes one byte of input and ends while the rest is being written
        char byte;
        return read(STDIN_FILENO, &byte, 1) == 1 ? 5 : 9;
    }
    if (mode == "closeout") { // closes its output early but runs on
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        usleep(500 * 1000);
        return 4;
    }
    return 64;
}
