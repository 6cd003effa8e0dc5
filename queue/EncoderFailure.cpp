#include "queue/EncoderFailure.h"

#include "platform/CodePage.h"

#include <array>
#include <cerrno>
#include <utility>

namespace tovilo {

const QByteArray EncoderErrorPrefix = QByteArrayLiteral("lib/ffmpeg: error:");

namespace {

struct KindText
{
    const char* kind;
    const char* text; // UTF-8
};

// "other", "usage" and kinds added later show the encoder's words instead.
constexpr std::array KnownKinds{
    KindText{"input-missing", "変換元のファイルが見つかりません"},
    KindText{"input-unreadable", "変換元のファイルを読み込めません"},
    KindText{"input-invalid", "変換元のファイルが壊れているか、対応していない形式です"},
    KindText{"no-audio", "変換元のファイルに音声が含まれていません"},
    KindText{"disk-full", "保存先のディスクに空きがありません"},
    KindText{"output-folder", "保存先のフォルダーが見つかりません"},
    KindText{"output-unwritable",
             "保存先に書き込めません（書き込みの権限がないか、読み取り専用です）"},
    KindText{"encoder-missing", "変換プログラム（FFmpeg）が見つからないか、起動できません"},
    KindText{"incomplete-output", "変換したファイルを最後まで書き込めませんでした"},
    KindText{"stopped", "変換が途中で打ち切られました"},
};

} // namespace

bool isEncoderErrorLine(const QByteArray& line)
{
    return line.startsWith(EncoderErrorPrefix);
}

QByteArray encoderNotStartedLine()
{
    return EncoderErrorPrefix + " encoder-missing: lib/ffmpeg could not be started";
}

QByteArray outputNotClaimedLine(int error)
{
    const QByteArray kind = error == ENOENT || error == ENOTDIR  ? "output-folder"
                            : error == ENOSPC || error == EDQUOT ? "disk-full"
                                                                 : "output-unwritable";
    return EncoderErrorPrefix + ' ' + kind + ": " + qt_error_string(error).toUtf8();
}

QString failureReasonText(const QByteArray& errorLine)
{
    if (!isEncoderErrorLine(errorLine))
        return QStringLiteral("変換に失敗しました（原因はわかりません）");
    const QByteArray rest = errorLine.mid(EncoderErrorPrefix.size()).trimmed();
    const qsizetype colon = rest.indexOf(':');
    const QByteArray kind = colon < 0 ? QByteArray() : rest.left(colon).trimmed();
    for (const KindText& known : KnownKinds) {
        if (kind == known.kind)
            return QString::fromUtf8(known.text);
    }
    // The detail may name a file: it is in the system code page.
    const QByteArray detail = colon < 0 ? rest : rest.mid(colon + 1).trimmed();
    if (detail.isEmpty())
        return QStringLiteral("変換に失敗しました（原因はわかりません）");
    return toUtf16(detail);
}

} // namespace tovilo
