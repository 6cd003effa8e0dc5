// Child program for the runner benchmark: "lines N" writes N short lines, "sleep S" stays
// quiet for S seconds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "lines") == 0) {
        static char buffer[1 << 16];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        const long count = std::atol(argv[2]);
        for (long i = 0; i < count; ++i)
            std::printf("line %07ld\n", i);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "sleep") == 0) {
        usleep(useconds_t(std::atof(argv[2]) * 1e6));
        return 0;
    }
    return 64;
}
