#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// Translation of the program's older encoder dialect into arguments for a current ffmpeg.
namespace tovilo {

// A command line the wrapper refuses; the message says which argument and why.
class ArgumentError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Takes the arguments after the program name, as the program emits them, and returns the
// arguments for ffmpeg (without the program name). Anything the program does not emit is
// refused with ArgumentError.
std::vector<std::string> mapArguments(const std::vector<std::string>& args);

} // namespace tovilo
