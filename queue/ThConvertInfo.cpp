#include "queue/ThConvertInfo.h"

#include "platform/CommandLine.h"

#include <array>

namespace {

// The encoder options of each quality row that follow the frame size.
constexpr std::array<const char*, 5> QualityPieces = {
    " -r 30 -acodec libfaac -b 2500kb -ac 2 -ar 48000 -ab 160k -f mp4 -vlevel 30 ",
    " -r 30 -acodec libfaac -b 2048kb -ac 2 -ar 48000 -ab 128k -f mp4 -vlevel 30 ",
    " -r 30 -acodec libfaac -b 1024kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 ",
    " -r 30 -acodec libfaac -b 512kb -ac 2 -ar 44100 -ab 128k -f mp4 -vlevel 30 ",
    " -r 15 -acodec libfaac -b 384kb -ac 2 -ar 44100 -ab 64k -f mp4 -vlevel 30 ",
};

} // namespace

int ThConvertInfoObjectList::Add(std::unique_ptr<ThConvertInfoObject> job)
{
    m_jobs.push_back(std::move(job));
    return Count() - 1;
}

void ThConvertInfoObjectList::checkIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError(
            QStringLiteral("リストのインデックスが範囲を超えています (%1)").arg(index));
}

ThConvertInfoObject* ThConvertInfoObjectList::Items(int index) const
{
    checkIndex(index);
    return m_jobs[static_cast<size_t>(index)].get();
}

void ThConvertInfoObjectList::Delete(int index)
{
    checkIndex(index);
    m_jobs.erase(m_jobs.begin() + index);
}

ThConvertInfoObject* ThConvertInfoObjectList::firstWith(TConvertStatus status) const
{
    for (const auto& job : m_jobs) {
        if (job->Status == status)
            return job.get();
    }
    return nullptr;
}

ThConvertInfoObject* ThConvertInfoObjectList::FirstWaiting() const
{
    return firstWith(csWaiting);
}

ThConvertInfoObject* ThConvertInfoObjectList::FirstConverting() const
{
    return firstWith(csConverting);
}

QByteArray ThConvertInfoObjectList::FrameSizeArgument() const
{
    if (Quality == 0)
        return Ratio == 0 ? "-s 640x480 " : "-s 640x360 ";
    return Ratio == 0 ? "-s 320x240 " : "-s 320x180 ";
}

QByteArray ThConvertInfoObjectList::BuildArguments(const QByteArray& source,
                                                   const QByteArray& output) const
{
    // Each path is quoted so that it comes back unchanged from the command-line split; an
    // ordinary path simply stands between double quotes.
    QByteArray arguments = " -y -i " + tovilo::quoteArgument(source);
    if (AudioOnly)
        return arguments + " -ab 128k -ar 44100 -f mp3 " + tovilo::quoteArgument(output);
    // H.264 differs only in the encoder's name; the wrapper makes it what iPods play.
    arguments +=
        Codec == 1 ? " -flags bitexact -vcodec libx264 " : " -flags bitexact -vcodec mpeg4 ";
    arguments += FrameSizeArgument() + " -async 1000 ";
    if (Quality < QualityPieces.size())
        arguments += QualityPieces[Quality] + tovilo::quoteArgument(output);
    return arguments;
}

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
