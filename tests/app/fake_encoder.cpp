// Stands in for lib/ffmpeg in the driver's tests; how it behaves depends on the source name:
// "fail" exits 1 after writing part of its output, "slow" reports progress for a long time,
// anything else converts at once. Every run is logged to encoder.log in the working folder.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    std::string source;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0)
            source = argv[i + 1];
    }
    const std::string output = argc > 1 ? argv[argc - 1] : "";
    if (FILE* log = std::fopen("encoder.log", "a")) {
        std::fprintf(log, "%s\t%s\n", source.c_str(), output.c_str());
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
    if (name.find("fail") != std::string::npos) {
        std::fclose(out);
        std::printf("Conversion failed!\n");
        return 1;
    }
    const int steps = name.find("slow") != std::string::npos ? 1200 : 1;
    for (int i = 0; i < steps; ++i) {
        std::printf("frame=%4d fps=0.0 q=0.0 size=       0kB time=%d.50 bitrate=  32.8kbits/s\r", i, 2 + i);
        std::fflush(stdout);
        if (steps > 1)
            usleep(50000);
    }
    std::fputs(" done", out);
    std::fclose(out);
    std::printf("\nvideo:1kB audio:1kB\n");
    return 0;
}
