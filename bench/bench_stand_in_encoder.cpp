// Stands in for lib/ffmpeg in the driver's queue benchmark: one progress line, exit 0 at once.
#include <cstdio>

int main()
{
    std::fputs("frame=   1 fps=0.0 q=0.0 size=       0kB time=1.00 bitrate=   0.0kbits/s\n",
               stdout);
    return 0;
}
