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

namespace {

// The situation line's words for why files were not handed over.
QString mediaFailureText(MediaFailure failure)
{
    switch (failure) {
    case MediaFailure::NoDevice:
        return QStringLiteral("iPodが見つかりません");
    case MediaFailure::UnreadableDatabase:
        return QStringLiteral("iPodのライブラリを読み込めません");
    case MediaFailure::MissingDeviceId:
        return QStringLiteral("機器情報がないため登録できません。iPodを接続し直してください");
    case MediaFailure::MissingHashInfo:
        return QStringLiteral("このiPodには登録できません（HashInfoがありません）");
    case MediaFailure::UnsupportedModel:
        return QStringLiteral("この機種のiPodには登録できません");
    case MediaFailure::UnknownModel:
        return QStringLiteral("機種を判別できないiPodには登録できません");
    case MediaFailure::NoVideo:
        return QStringLiteral("このiPodは動画を再生できません");
    case MediaFailure::DeviceFull:
        return QStringLiteral("iPodの空き容量が足りません");
    case MediaFailure::WriteFailed:
        return QStringLiteral("iPodに書き込めませんでした");
    case MediaFailure::ReadOnly:
        return QStringLiteral("iPodが読み取り専用でマウントされているため登録できません");
    case MediaFailure::NotInitialised:
        return QStringLiteral("iPodが初期化されていないため登録しませんでした");
    case MediaFailure::Failed:
        break;
    }
    return QStringLiteral("iPodへの転送に失敗しました");
}

// Why the current exception ended a hand-over.
MediaFailure currentMediaFailure()
{
    try {
        throw;
    } catch (const MediaError& error) {
        return error.failure();
    } catch (...) {
        return MediaFailure::Failed;
    }
}

} // namespace

void TFormMain::AddToiTunes()
{
    QList<ThConvertInfoObject*> transferred;
    bool videoRefused = false;
    try {
        ITunesApp = m_services.mediaLibrary->createApplication();
        const int count = JobList->Count();
        for (int i = count - 1; i >= 0; --i) {
            ThConvertInfoObject* job = JobList->Items(i);
            if (job->Status != csConverted)
                continue;
            std::unique_ptr<MediaPlaylist> playlist = ITunesApp->libraryPlaylist();
            try {
                playlist->addFile(job->OutputFile);
            } catch (const MediaError& error) {
                // A video for an iPod without video: the others may still go.
                if (error.failure() != MediaFailure::NoVideo)
                    throw;
                videoRefused = true;
                continue;
            }
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
        // No message box, no refresh, no activation: the situation line says why, until the
        // next conversion starts.
        MediaFailure failure = currentMediaFailure();
        if (ITunesApp) {
            try {
                ITunesApp->release();
            } catch (...) {
                failure = currentMediaFailure();
                for (ThConvertInfoObject* job : transferred)
                    job->Status = csConverted;
            }
            ITunesApp.reset();
        }
        SituationText = mediaFailureText(failure);
        ShowSituation();
        return;
    }
    RefreshList();
    RestoreAndActivate();
    if (videoRefused) {
        // Not everything is on the device, so no word of completion.
        SituationText = mediaFailureText(MediaFailure::NoVideo);
        ShowSituation();
        return;
    }
    m_services.prompt->information(this, QStringLiteral("変換・iTunesへの転送が完了しました"));
    RestoreAndActivate();
}
