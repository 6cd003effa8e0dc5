// The hand-over of converted files to the media library of a connected device.
#include "app/UnitMain.h"

#include "platform/MediaLibrary.h"

#include <QTimer>

using namespace tovilo;

void TFormMain::TimerRegistiTunesTimer()
{
    TimerRegistiTunes->stop();
    AddToiTunes();
}

void TFormMain::AddToiTunes()
{
    QList<ThConvertInfoObject*> transferred;
    try {
        ITunesApp = m_services.mediaLibrary->createApplication();
        const int count = JobList->Count();
        for (int i = count - 1; i >= 0; --i) {
            ThConvertInfoObject* job = JobList->Items(i);
            if (job->Status != csConverted)
                continue;
            std::unique_ptr<MediaPlaylist> playlist = ITunesApp->libraryPlaylist();
            playlist->addFile(job->OutputFile);
            job->Status = csTransferred;
            transferred.append(job);
        }
        // Releasing writes the device's database; only then are the files really there.
        std::unique_ptr<MediaApplication> app = std::move(ITunesApp);
        try {
            app->release();
        } catch (...) {
            for (ThConvertInfoObject* job : transferred)
                job->Status = csConverted;
            throw;
        }
    } catch (...) {
        // Every failure is swallowed: no message, no refresh, no activation.
        if (ITunesApp) {
            try {
                ITunesApp->release();
            } catch (...) {
                for (ThConvertInfoObject* job : transferred)
                    job->Status = csConverted;
            }
            ITunesApp.reset();
        }
        return;
    }
    RefreshList();
    RestoreAndActivate();
    m_services.prompt->information(this, QStringLiteral("変換・iTunesへの転送が完了しました"));
    RestoreAndActivate();
}
