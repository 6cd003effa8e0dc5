#pragma once

#include "engine/ConversionRunner.h"

class TDosCommand;

namespace tovilo {

// The engine's runner on a console process runner that its owner wires: the runner's
// OnNewLine and OnTerminated go to the engine.
class DosCommandRunner : public ConversionRunner
{
public:
    explicit DosCommandRunner(TDosCommand& command) : m_command(command) {}

    void start(const QByteArray& commandLine) override;
    bool isRunning() const override;
    void stopAndWait() override;
    bool failedToStart() const override;
    void setPaused(bool paused) override;

private:
    TDosCommand& m_command;
};

} // namespace tovilo
