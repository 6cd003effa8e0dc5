// One helper program stands in for every process the tests and benchmarks start.
#pragma once

#include <string>

namespace child {

// Writes all of `bytes` to standard output, or ends the program with 70.
void put(const std::string& bytes);

int runner(int argc, char** argv);      // a child of the console runner; argv[1] is its mode
int fakeEncoder(int argc, char** argv); // lib/ffmpeg in front of the conversion driver
int fakeFfmpeg(int argc, char** argv);  // the system ffmpeg behind lib/ffmpeg

} // namespace child
