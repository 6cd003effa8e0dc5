// lib/ffmpeg's entry point; the run itself is in Conversion.cpp, where tests reach it.

#include "encoder/Conversion.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // A reader that went away shows as a failed write, which the run treats as the program's end.
    ::signal(SIGPIPE, SIG_IGN);
    return tovilo::runWrapper(std::vector<std::string>(argv + 1, argv + argc));
}
