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

// The situation line's words for how a removal went.
QString removalText(std::optional<RemovalFailure> failure)
{
    if (!failure)
        return QStringLiteral("iPodを安全に取り外せます");
    switch (*failure) {
    case RemovalFailure::Busy:
        return QStringLiteral("iPodを取り外せません（使用中のファイルがあります）");
    case RemovalFailure::NotAuthorised:
        return QStringLiteral("iPodを取り外す権限がありません");
    case RemovalFailure::NotFound:
        return QStringLiteral("取り外すiPodが見つかりません");
    case RemovalFailure::StillPowered:
        return QStringLiteral("iPodのマウントは解除しましたが、電源を切れませんでした");
    case RemovalFailure::Failed:
        break;
    }
    return QStringLiteral("iPodを取り外せませんでした");
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
    QByteArray mountPoint;
    try {
        try {
            ITunesApp = m_services.mediaLibrary->createApplication();
        } catch (const MediaError& error) {
            if (error.failure() != MediaFailure::NotInitialised)
                throw;
            // Setting up writes a new, empty library onto the device: only when the user says so.
            RestoreAndActivate();
            if (!m_services.prompt->confirm(
                    this, QStringLiteral("接続されているiPodは初期化されていません。\n"
                                         "iPodを初期化して転送しますか？"))) {
                SituationText = QStringLiteral("iPodを初期化しなかったため転送していません");
                ShowSituation();
                return;
            }
            m_services.mediaLibrary->initialiseDevice();
            ITunesApp = m_services.mediaLibrary->createApplication();
        }
        mountPoint = ITunesApp->mountPoint();
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
    const QString done = QStringLiteral("変換・iTunesへの転送が完了しました");
    if (!m_services.deviceRemoval->isAvailable()) {
        m_services.prompt->information(this, done);
        RestoreAndActivate();
        return;
    }
    const bool remove =
        m_services.prompt->informationWithAction(this, done, QStringLiteral("iPodを取り外す"));
    RestoreAndActivate();
    if (remove)
        RemoveMediaDevice(mountPoint);
}

void TFormMain::RemoveMediaDevice(const QByteArray& mountPoint)
{
    SituationText = QStringLiteral("iPodを取り外しています…");
    ShowSituation();
    m_services.deviceRemoval->removeDevice(mountPoint, this,
                                           [this](std::optional<RemovalFailure> failure) {
                                               SituationText = removalText(failure);
                                               ShowSituation();
                                           });
}
