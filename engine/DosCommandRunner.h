#pragma once

#include "engine/ConversionRunner.h"

#include <QtGlobal>

class TDosCommand;

namespace tovilo {

// The engine's runner on a console process runner: takes over its OnNewLine and OnTerminated
// and signals them.
class DosCommandRunner : public ConversionRunner
{
    Q_OBJECT

public:
    // The lines of a run the command keeps.
    static constexpr qsizetype DeliveredLinesKept = 1000;

    explicit DosCommandRunner(TDosCommand& command, QObject* parent = nullptr);
    ~DosCommandRunner() override;

    void start(const QByteArray& commandLine) override;
    bool isRunning() const override;
    void stopAndWait() override;
    bool failedToStart() const override;
    void setPaused(bool paused) override;

private:
    TDosCommand& m_command;
};

} // namespace tovilo
