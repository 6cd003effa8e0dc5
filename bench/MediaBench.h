#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

// What the benchmarks that time ffmpeg, lib/ffmpeg and HandBrake against each other share.
namespace tovilo::bench {

struct Timed
{
    int status = -1;
    double wall = 0;
    double processor = 0; // the child's and its children's
    double others = 0;    // what the rest of the machine spent meanwhile
    QByteArray output;    // standard output and error
};

// Processor seconds of the children collected so far.
double childrenProcessor();
// Processor seconds the whole machine has been busy.
double machineBusy();
// Runs a program to its end, timed.
Timed run(const std::vector<std::string>& args);
// Says on standard error why a run failed.
bool ok(const Timed& timed, const std::string& what);
double median(std::vector<double> values);
// Bytes of a file's first video stream.
double videoBytes(const QString& file);
// HandBrake's conversion to a row's frame at an average video rate: its MPEG-4 (codec 0) or an
// iPod-class x264 Baseline (codec 1), with the device family's preset.
struct HandBrakeJob
{
    std::string source;
    std::string output;
    int width = 0;
    int height = 0;
    int frameRate = 0;
    int audioKbit = 0;
    int sampleRate = 0;
    int codec = 0;
    int videoKbit = 0;
    bool interlaced = false;
    bool onePass = false; // at an average rate the preset makes two
};
std::vector<std::string> handBrakeCommand(const HandBrakeJob& job);

// ffmpeg, ffprobe and HandBrakeCLI on PATH, or says which is missing.
bool haveTools();

} // namespace tovilo::bench
