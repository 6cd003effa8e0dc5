#pragma once

// Fakes of the services the conversion engine gets: a desktop that records, and media
// libraries without a device or with one that records and fails on request.
#include "devices/MediaLibraryFactory.h"
#include "platform/DesktopService.h"

#include <QList>
#include <QStringList>

#include <memory>

namespace tovilo::test {

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
    int failOnAdd = -1; // 1-based
    MediaFailure failure = MediaFailure::Failed;
    bool playsNoVideo = false; // refuses every ".mp4"
    QStringList added;
    QStringList calls;

    struct Playlist : MediaPlaylist
    {
        FakeLibrary* library;
        explicit Playlist(FakeLibrary* l) : library(l) {}
        void addFile(const QString& path) override
        {
            library->calls << QStringLiteral("add");
            if (library->playsNoVideo && path.endsWith(QLatin1String(".mp4")))
                throw MediaError(MediaFailure::NoVideo, QStringLiteral("no video"));
            if (library->added.size() + 1 == library->failOnAdd)
                throw MediaError(library->failure, QStringLiteral("device full"));
            library->added << path;
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

    std::unique_ptr<MediaApplication> createApplication() override
    {
        calls << QStringLiteral("create");
        if (deviceMissing)
            throw MediaError(MediaFailure::NoDevice, QStringLiteral("no device"));
        return std::make_unique<App>(this);
    }
    void initialiseDevice() override { calls << QStringLiteral("initialise"); }
};

} // namespace tovilo::test
