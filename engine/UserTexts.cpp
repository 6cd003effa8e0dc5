#include "engine/UserTexts.h"

#include "platform/CodePage.h"
#include "protocol/WrapperFailure.h"
#include "queue/EncoderFailure.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

QString StatusText(const ThConvertInfoObject& job)
{
    switch (job.Status) {
    case csWaiting:
        return QStringLiteral("変換待ち");
    case csConverting:
        return QStringLiteral("変換中");
    case csConverted:
        return QStringLiteral("変換完了");
    case csTransferred:
        return QStringLiteral("転送完了");
    case csFailed:
        return QStringLiteral("変換失敗");
    }
    return QString();
}

namespace tovilo {

namespace {

struct KindText
{
    FailureKind kind;
    const char* text; // UTF-8
};

// Every kind the wrapper names has a reason of its own; "other" and kinds the program does not
// know add the encoder's words to a general one.
constexpr std::array KnownKinds{
    KindText{FailureKind::InputMissing, "変換元のファイルが見つかりません"},
    KindText{FailureKind::InputUnreadable, "変換元のファイルを読み込めません"},
    KindText{FailureKind::InputInvalid, "変換元のファイルが壊れているか、対応していない形式です"},
    KindText{FailureKind::InputNotFile,
             "変換元が通常のファイルではありません（パイプや装置は変換できません）"},
    KindText{FailureKind::InputIncomplete, "元のファイルを最後まで読めませんでした"},
    KindText{FailureKind::InputChanged, "変換中に元のファイルが変わりました（録画中のファイルは録画"
                                        "が終わってから変換してください）"},
    KindText{FailureKind::NoAudio, "変換元のファイルに音声が含まれていません"},
    KindText{FailureKind::DiskFull, "保存先のディスクに空きがありません"},
    KindText{FailureKind::OutputFolder, "保存先のフォルダーが見つかりません"},
    KindText{FailureKind::OutputUnwritable,
             "保存先に書き込めません（書き込みの権限がないか、読み取り専用です）"},
    KindText{FailureKind::EncoderMissing,
             "変換プログラム（FFmpeg）が見つからないか、起動できません"},
    KindText{FailureKind::IncompleteOutput, "変換したファイルを最後まで書き込めませんでした"},
    KindText{FailureKind::Stopped, "変換が途中で打ち切られました"},
    KindText{FailureKind::Usage, "変換の指定が正しくありません（画質の設定を確かめてください）"},
};
static_assert(KnownKinds.size() == failureKindNames.size() - 1, "every kind but other has a text");

} // namespace

QString failureReasonText(const QByteArray& errorLine)
{
    if (!isEncoderErrorLine(errorLine))
        return QStringLiteral("変換に失敗しました（原因はわかりません）");
    const QByteArray rest = errorLine.mid(EncoderErrorPrefix.size()).trimmed();
    const qsizetype colon = rest.indexOf(':');
    const QByteArray name = colon < 0 ? QByteArray() : rest.left(colon).trimmed();
    const std::optional<FailureKind> kind =
        failureKindFromName(std::string_view(name.constData(), size_t(name.size())));
    for (const KindText& known : KnownKinds) {
        if (kind == known.kind)
            return QString::fromUtf8(known.text);
    }
    // The detail may name a file: it is in the system code page.
    const QByteArray detail = colon < 0 ? rest : rest.mid(colon + 1).trimmed();
    if (detail.isEmpty())
        return QStringLiteral("変換に失敗しました（原因はわかりません）");
    return QStringLiteral("変換に失敗しました（%1）").arg(toUtf16(detail));
}

QString noticeText(const QByteArray& noticeLine)
{
    if (!isEncoderNoticeLine(noticeLine))
        return QString();
    const QByteArray rest = noticeLine.mid(EncoderNoticePrefix.size()).trimmed();
    const std::string_view kind = noticeKindName(NoticeKind::SubtitlesLeftOut);
    if (rest.startsWith(QByteArray(kind.data(), qsizetype(kind.size())) + ':'))
        return QStringLiteral("字幕を焼き込めなかったため、字幕なしで変換しました");
    return QStringLiteral("変換しました（%1）").arg(toUtf16(rest));
}

QString saveDirTooLongText(const QByteArray& fallback)
{
    return QStringLiteral("保存先のフォルダー名が長すぎるため %1 に保存します")
        .arg(toUtf16(fallback));
}

QString watchDirUnsavableText()
{
    return QStringLiteral("監視フォルダーの名前が長すぎるため、設定を保存できません。"
                          "2047バイト以内のフォルダーを選んでください");
}

QString saveDirUnsavableText()
{
    return QStringLiteral("保存先のフォルダー名が長すぎるため、設定を保存できません。"
                          "2047バイト以内のフォルダーを選んでください");
}

QString mediaFailureText(MediaFailure failure)
{
    switch (failure) {
    case MediaFailure::NoDevice:
        return QStringLiteral("iPodが見つかりません");
    case MediaFailure::UnreadableDatabase:
        return QStringLiteral("iPodのライブラリを読み込めません");
    case MediaFailure::MissingDeviceId:
        return QStringLiteral("iPodの機器情報がありません。接続し直してください");
    case MediaFailure::MissingHashInfo:
        return QStringLiteral("iPodのHashInfoがないため登録できません");
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
        return QStringLiteral("iPodが読み取り専用のため登録できません");
    case MediaFailure::ForeignFolder:
        return QStringLiteral("iPodのフォルダーがリンクのため登録できません");
    case MediaFailure::NotInitialised:
        return QStringLiteral("iPodを初期化しなかったため転送していません");
    case MediaFailure::Failed:
        break;
    }
    return QStringLiteral("iPodへの転送に失敗しました");
}

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
        return QStringLiteral("iPodのマウントを解除しました（電源は切れません）");
    case RemovalFailure::Failed:
        break;
    }
    return QStringLiteral("iPodを取り外せませんでした");
}

QString removingDeviceText()
{
    return QStringLiteral("iPodを取り外しています…");
}

QString handOverProgressText(int number, int count, int notFitting)
{
    const QString progress = QStringLiteral("iPodへ転送中 %1/%2").arg(number).arg(count);
    if (notFitting == 0)
        return progress;
    return progress + QStringLiteral("（空き容量が足りない%1件は転送しません）").arg(notFitting);
}

QString checkingRoomText()
{
    return QStringLiteral("iPodの空き容量を確認しています…");
}

QString notFittingText(int count)
{
    return QStringLiteral("iPodの空き容量が足りないため、%1件は転送していません").arg(count);
}

QString handOverNoteText(const ThConvertInfoObject& job)
{
    switch (job.HandOverNote) {
    case THandOverNote::None:
        break;
    case THandOverNote::AlreadyOnDevice:
        return QStringLiteral("すでにiPodにあります");
    case THandOverNote::NoRoom: {
        // Whole megabytes, rounded up: "about" a figure that is enough.
        constexpr qint64 megabyte = 1000 * 1000;
        const qint64 megabytes = std::max<qint64>(1, (job.BytesShort + megabyte - 1) / megabyte);
        return QStringLiteral("iPodの空き容量が足りません（あと約%1MB必要です）").arg(megabytes);
    }
    }
    return QString();
}

QString handOverStoppedText()
{
    return QStringLiteral("iPodへの転送を中止しました");
}

QString remainingText(double seconds)
{
    const auto total = static_cast<long long>(std::ceil(seconds));
    const long long fives = std::max(5LL, (total + 4) / 5 * 5);
    if (fives < 60)
        return QStringLiteral(" 残り約%1秒").arg(fives);
    const long long minutes = std::max(1LL, (total + 30) / 60);
    if (minutes < 60)
        return QStringLiteral(" 残り約%1分").arg(minutes);
    if (minutes % 60 == 0)
        return QStringLiteral(" 残り約%1時間").arg(minutes / 60);
    return QStringLiteral(" 残り%1時間%2分").arg(minutes / 60).arg(minutes % 60);
}

QString pausedText()
{
    return QStringLiteral("一時停止中");
}

QString queueNotRestoredText()
{
    return QStringLiteral("前回の変換リストを読み込めませんでした");
}

QString queueNotSavedText(int error)
{
    QString why;
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        why = QStringLiteral("空き容量がありません");
        break;
    case EROFS:
        why = QStringLiteral("読み取り専用です");
        break;
    case EACCES:
    case EPERM:
        why = QStringLiteral("書き込みが許可されていません");
        break;
    default:
        why = QString::fromLocal8Bit(std::strerror(error));
        break;
    }
    return QStringLiteral("変換リストを保存できません（%1）").arg(why);
}

QString leftBehindText(const QString& path)
{
    return QStringLiteral("中断した変換のファイルを残しました: %1").arg(path);
}

QString WindowTexts::fileNameColumn()
{
    return QStringLiteral("ファイル名");
}

QString WindowTexts::statusColumn()
{
    return QStringLiteral("状態");
}

QString WindowTexts::noRowSelected()
{
    return QStringLiteral("変換リストから除外するファイルを選択してください");
}

QString WindowTexts::confirmRemoval()
{
    return QStringLiteral("選択したファイルを変換リストから除外しますか？");
}

QString WindowTexts::busyClose()
{
    return QStringLiteral("変換中は終了できません。変換を中止してから終了してください。");
}

QString WindowTexts::finishedJobsRemoved()
{
    return QStringLiteral("変換完了、iTunesへの転送が完了した動画はリストから削除されます");
}

QString WindowTexts::emptyQueue()
{
    return QStringLiteral("変換する動画をリストに追加してください");
}

QString WindowTexts::confirmStop()
{
    return QStringLiteral("変換を中止してよろしいですか？");
}

QString WindowTexts::confirmStopHandOver()
{
    return QStringLiteral("iPodへの転送を中止してよろしいですか？\n"
                          "転送中のファイルまでは登録されます。");
}

// ---- Progress and the end of a queue ----

QString formatDuration(int seconds)
{
    return QString::asprintf("%.2d時間%.2d分%.2d秒", seconds / 3600, (seconds % 3600) / 60,
                             (seconds % 3600) % 60);
}

QString convertedUpToText(int seconds)
{
    return formatDuration(seconds) + QStringLiteral("までの動画を変換完了");
}

QString conversionDoneText()
{
    return QStringLiteral("変換が完了しました");
}

QString queueOutcomeText(int converted, int failed)
{
    return QStringLiteral("変換完了 %1件、変換失敗 %2件").arg(converted).arg(failed);
}

QString WindowTexts::partialNotDeleted(const QByteArray& path)
{
    return QStringLiteral("変換途中のファイルを削除できませんでした。\n") + displayText(path);
}

QString WindowTexts::askSetUpDevice()
{
    return QStringLiteral("接続されているiPodは初期化されていません。\n"
                          "iPodを初期化して転送しますか？");
}

QString WindowTexts::handOverDone()
{
    return QStringLiteral("変換・iTunesへの転送が完了しました");
}

QString WindowTexts::handOverDone(int notFitting)
{
    if (notFitting == 0)
        return handOverDone();
    return handOverDone() + QLatin1Char('\n') + notFittingText(notFitting);
}

QString WindowTexts::removeDeviceAction()
{
    return QStringLiteral("iPodを取り外す");
}

} // namespace tovilo
