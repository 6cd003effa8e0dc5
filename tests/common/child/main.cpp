// The test helper program. Its role:
//   tovilo_test_child runner <mode> ...   a child of the console runner's tests and benchmark
//   FAKE_FFMPEG_MODE set                  the system ffmpeg behind the wrapper
//   otherwise                             lib/ffmpeg in front of the conversion driver
// The two stand-ins are started under the names the program under test uses (links named
// ffmpeg and lib/ffmpeg), so their role comes from the environment, not from an argument.
#include "Child.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

void child::put(const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            std::exit(70);
        done += size_t(n);
    }
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "runner") == 0)
        return child::runner(argc - 1, argv + 1);
    if (std::getenv("FAKE_FFMPEG_MODE") != nullptr)
        return child::fakeFfmpeg(argc, argv);
    return child::fakeEncoder(argc, argv);
}
