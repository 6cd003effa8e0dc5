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
// ffmpeg, ffprobe and HandBrakeCLI on PATH, or says which is missing.
bool haveTools();

} // namespace tovilo::bench
