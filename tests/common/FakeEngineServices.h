#pragma once

// Fakes of the services the conversion engine gets: a desktop that records, and media
// libraries without a device or with one that records and fails on request.
#include "devices/MediaLibraryFactory.h"
#include "engine/ConversionRunner.h"
#include "platform/DesktopService.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

namespace tovilo::test {

// Plays one scripted run per start, delivering from the event loop as the real runner does.
class FakeRunner : public ConversionRunner
{
public:
    struct Run
    {
        QList<QByteArray> lines;
        quint32 exitCode = 0;
        bool notStarted = false;
        bool held = false; // runs until stopped
    };

    QList<Run> script; // when it runs out, every run succeeds quietly
    QList<QByteArray> commands;
    QList<bool> pauses;
    std::function<void()> onStart;

    void start(const QByteArray& commandLine) override
    {
        commands << commandLine;
        if (onStart)
            onStart();
        m_running = true;
        const Run run = script.isEmpty() ? Run{} : script.takeFirst();
        m_notStarted = run.notStarted;
        if (run.held)
            return;
        QMetaObject::invokeMethod(
            &m_context,
            [this, run] {
                for (const QByteArray& line : run.lines)
                    emit lineReceived(line);
                finish(run.exitCode);
            },
            Qt::QueuedConnection);
    }
    bool isRunning() const override { return m_running; }
    void stopAndWait() override
    {
        if (m_running)
            finish(137);
    }
    bool failedToStart() const override { return m_notStarted; }
    void setPaused(bool paused) override { pauses << paused; }

private:
    void finish(quint32 exitCode)
    {
        emit runFinished(exitCode);
        m_running = false;
    }

    QObject m_context;
    bool m_running = false;
    bool m_notStarted = false;
};

// Records what the window shows on the desktop around it.
class FakeDesktop : public DesktopService
{
public:
    struct Progress
    {
        double fraction;
        qint64 jobsLeft;
    };
    QList<Progress> progress;
    int clears = 0;
    QStringList notices; // summary, a line break, body

    void showProgress(double fraction, qint64 jobsLeft) override
    {
        progress.append({fraction, jobsLeft});
    }
    void clearProgress() override { ++clears; }
    void notify(const QString& summary, const QString& body) override
    {
        notices.append(summary + QLatin1Char('\n') + body);
    }
};

// No device is connected.
class NoMediaDevice : public MediaLibraryFactory
{
public:
    ChosenMediaDevice chooseDevice() override
    {
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
    }
    std::unique_ptr<MediaApplication> createApplication() override
    {
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
    }
    void initialiseDevice() override
    {
        throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
    }
};

// A media library that records what it is asked and fails on the n-th added file.
struct FakeLibrary : MediaLibraryFactory
{
    bool deviceMissing = false;
    bool blank = false; // has no database until initialised
    int failOnAdd = -1; // 1-based
    MediaFailure failure = MediaFailure::Failed;
    bool playsNoVideo = false; // refuses every ".mp4"
    QStringList added;
    QStringList calls;
    std::function<void()> onAdd; // runs on the hand-over's thread before each file

    struct Playlist : MediaPlaylist
    {
        FakeLibrary* library;
        explicit Playlist(FakeLibrary* l) : library(l) {}
        bool addFile(const QString& path) override
        {
            if (library->onAdd)
                library->onAdd();
            library->calls << QStringLiteral("add");
            if (library->playsNoVideo && path.endsWith(QLatin1String(".mp4")))
                throw MediaError(MediaFailure::NoVideo, QStringLiteral("no video"));
            if (library->added.size() + 1 == library->failOnAdd)
                throw MediaError(library->failure, QStringLiteral("device full"));
            library->added << path;
            return true;
        }
    };
    struct App : MediaApplication
    {
        FakeLibrary* library;
        explicit App(FakeLibrary* l) : library(l) {}
        std::unique_ptr<MediaPlaylist> libraryPlaylist() override
        {
            library->calls << QStringLiteral("playlist");
            return std::make_unique<Playlist>(library);
        }
        void release() override { library->calls << QStringLiteral("release"); }
        QByteArray mountPoint() const override { return "/media/user/IPOD"; }
    };

    // The chosen device is this library.
    struct Chosen : MediaLibraryFactory
    {
        FakeLibrary* library;
        explicit Chosen(FakeLibrary* l) : library(l) {}
        ChosenMediaDevice chooseDevice() override { return library->chooseDevice(); }
        std::unique_ptr<MediaApplication> createApplication() override
        {
            return library->createApplication();
        }
        void initialiseDevice() override { library->initialiseDevice(); }
    };

    ChosenMediaDevice chooseDevice() override
    {
        if (deviceMissing)
            throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
        return {std::make_unique<Chosen>(this), !blank};
    }
    std::unique_ptr<MediaApplication> createApplication() override
    {
        calls << QStringLiteral("create");
        if (deviceMissing)
            throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
        if (blank)
            throw MediaError(MediaFailure::NotInitialised, QStringLiteral("blank"));
        return std::make_unique<App>(this);
    }
    void initialiseDevice() override
    {
        calls << QStringLiteral("initialise");
        blank = false;
    }
};

} // namespace tovilo::test
