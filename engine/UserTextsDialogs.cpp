// The texts of message boxes, dialogs and the open dialog, and of folders added and watched.
#include "engine/UserTexts.h"

#include "engine/FolderWalk.h"

namespace tovilo {

QString informationCaption()
{
    return QStringLiteral("情報");
}

QString confirmationCaption()
{
    return QStringLiteral("確認");
}

QString yesButtonText()
{
    return QStringLiteral("はい(&Y)");
}

QString noButtonText()
{
    return QStringLiteral("いいえ(&N)");
}

QString videoFilesFilterText(const QStringList& patterns)
{
    return QStringLiteral("動画ファイル (%1)").arg(patterns.join(QLatin1Char(' ')));
}

QString unsupportedFileText()
{
    return QStringLiteral(
        "「AVI、MP4、MOV、MKV、WMV、TS などの動画」以外のファイルには対応しておりません");
}

QString chapterDialogTitle()
{
    return QStringLiteral("チャプター選択画面");
}

QString insertDiscText()
{
    return QStringLiteral("ドライブにディスクを挿入してください");
}

QString chooseChaptersText()
{
    return QStringLiteral("チャプターを選択してください");
}

QString settingsTitle()
{
    return QStringLiteral("設定");
}

QString chooseSaveFolderText()
{
    return QStringLiteral("保存先を選択してください");
}

QStringList aspectRatioChoices()
{
    return {QStringLiteral("標準（４：３）"), QStringLiteral("ワイド（１６：９）")};
}

QStringList codecChoices()
{
    return {QStringLiteral("MPEG-4（すべてのiPod）"), QStringLiteral("H.264（高画質）")};
}

QStringList subtitleChoices()
{
    return {QStringLiteral("入れない"), QStringLiteral("日本語字幕を焼き込む")};
}

QString chooseWatchFolderText()
{
    return QStringLiteral("監視するフォルダーを選択してください");
}

QStringList watchModeChoices()
{
    return {QStringLiteral("何もしない"), QStringLiteral("動画変換"),
            QStringLiteral("動画変換& iTunes 登録"), QStringLiteral("音声変換"),
            QStringLiteral("音声変換& iTunes 登録")};
}

QString walkingFoldersText()
{
    return QStringLiteral("フォルダーの動画を探しています…");
}

QString foldersAddedText(const FolderWalk& walk)
{
    QString text = walk.videos.isEmpty()
                       ? QStringLiteral("追加する動画が見つかりませんでした")
                       : QStringLiteral("%1個の動画を追加しました").arg(walk.videos.size());
    if (walk.unsupported > 0)
        text += QStringLiteral("（対応していない%1個のファイルは追加しませんでした）")
                    .arg(walk.unsupported);
    if (walk.alreadyListed > 0)
        text += QStringLiteral("（リストにある%1個は追加しませんでした）").arg(walk.alreadyListed);
    if (walk.unreadableFolders > 0)
        text += QStringLiteral("（開けない%1個のフォルダーは飛ばしました）")
                    .arg(walk.unreadableFolders);
    return text;
}

QString addFolderAction()
{
    return QStringLiteral("フォルダー追加…");
}

QString chooseFolderToAddText()
{
    return QStringLiteral("追加するフォルダーを選択してください");
}

QString addFileAction()
{
    return QStringLiteral("ファイル追加…");
}

QString removeSelectedAction()
{
    return QStringLiteral("選択削除");
}

QString watchBaselineText(int videos)
{
    return QStringLiteral("監視フォルダーにある%1個の動画はそのままにします").arg(videos);
}

QString watchFolderMissingText()
{
    return QStringLiteral("監視フォルダーが見つかりません");
}

QString watchedAddedText(int videos)
{
    return QStringLiteral("監視フォルダーの新しい動画%1個を追加しました").arg(videos);
}

} // namespace tovilo
