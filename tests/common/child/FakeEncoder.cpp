// Stands in for lib/ffmpeg in the driver's tests; how it behaves depends on the source name:
// "fail" exits 1 after writing part of its output and then FAKE_ENCODER_ENDING (or a wrapper
// failure line), "slow" reports progress for a long time, anything else converts at once in
// three progress steps. Every run is logged to encoder.log in the working folder
// (source, output, process id). With FAKE_ENCODER_MODE=quick (the driver's benchmark) it only
// prints one progress line and exits 0 at once, writing and logging nothing.
#include "Child.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int child::fakeEncoder(int argc, char** argv)
{
    if (const char* mode = std::getenv("FAKE_ENCODER_MODE");
        mode && std::strcmp(mode, "quick") == 0) {
        std::fputs("frame=   1 fps=0.0 q=0.0 size=       0kB time=1.00 bitrate=   0.0kbits/s\n",
                   stdout);
        return 0;
    }
    std::string source;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0)
            source = argv[i + 1];
    }
    const std::string output = argc > 1 ? argv[argc - 1] : "";
    if (FILE* log = std::fopen("encoder.log", "a")) {
        std::fprintf(log, "%s\t%s\t%d\n", source.c_str(), output.c_str(),
                     static_cast<int>(getpid()));
        std::fclose(log);
    }
    FILE* out = std::fopen(output.c_str(), "w");
    if (out == nullptr) {
        std::printf("%s: cannot open\n", output.c_str());
        return 1;
    }
    std::fputs("partial", out);
    std::fflush(out);
    const std::string name = source.substr(source.rfind('/') + 1);
    const bool slow = name.find("slow") != std::string::npos;
    std::printf("Input #0, avi, from '%s':\n  Duration: %s, start: 0.000000, bitrate: 100 kb/s\n",
                source.c_str(), slow ? "00:20:05.00" : "00:00:05.00");
    if (name.find("fail") != std::string::npos) {
        std::fclose(out);
        const char* ending = std::getenv("FAKE_ENCODER_ENDING");
        std::fputs(ending != nullptr ? ending
                                     : "Conversion failed!\nlib/ffmpeg: error: input-invalid: "
                                       "Invalid data found when processing input\n",
                   stdout);
        return 1;
    }
    const int steps = slow ? 1200 : 3;
    for (int i = 0; i < steps; ++i) {
        std::printf("frame=%4d fps=0.0 q=0.0 size=       0kB time=%d.50 bitrate=  32.8kbits/s\r", i,
                    2 + i);
        std::fflush(stdout);
        if (slow)
            usleep(50000);
    }
    std::fputs(" done", out);
    std::fclose(out);
    std::printf("\nvideo:1kB audio:1kB\n");
    return 0;
}
