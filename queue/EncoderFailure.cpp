#include "queue/EncoderFailure.h"

#include "platform/CodePage.h"
#include "protocol/WrapperFailure.h"

#include <array>
#include <cerrno>
#include <utility>

namespace tovilo {

const QByteArray EncoderErrorPrefix(wrapperErrorPrefix.data(),
                                    qsizetype(wrapperErrorPrefix.size()));

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

QByteArray errorLine(FailureKind kind, const QByteArray& detail)
{
    const std::string_view name = failureKindName(kind);
    return EncoderErrorPrefix + ' ' + QByteArray(name.data(), qsizetype(name.size())) + ": " +
           detail;
}

} // namespace

bool isEncoderErrorLine(const QByteArray& line)
{
    return line.startsWith(EncoderErrorPrefix);
}

QByteArray encoderNotStartedLine()
{
    return errorLine(FailureKind::EncoderMissing, "lib/ffmpeg could not be started");
}

QByteArray outputNotClaimedLine(int error)
{
    const FailureKind kind = error == ENOENT || error == ENOTDIR  ? FailureKind::OutputFolder
                             : error == ENOSPC || error == EDQUOT ? FailureKind::DiskFull
                                                                  : FailureKind::OutputUnwritable;
    return errorLine(kind, qt_error_string(error).toUtf8());
}

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

} // namespace tovilo
