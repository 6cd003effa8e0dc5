#include "queue/ThConvertInfo.h"

#include "platform/CodePage.h"
#include "platform/CommandLine.h"
#include "platform/PathText.h"
#include "protocol/QualityTable.h"

QByteArray ThConvertInfoObject::sourcePath() const
{
    return tovilo::fromUtf16(SourceFile);
}

void ThConvertInfoObject::setSourcePath(const QByteArray& path)
{
    SourceFile = tovilo::toUtf16(path);
}

QByteArray ThConvertInfoObject::outputPath() const
{
    return tovilo::fromUtf16(OutputFile);
}

void ThConvertInfoObject::setOutputPath(const QByteArray& path)
{
    OutputFile = tovilo::toUtf16(path);
}

QString ThConvertInfoObject::sourceDisplayName() const
{
    return tovilo::displayText(tovilo::extractFileName(sourcePath()));
}

int ThConvertInfoObjectList::Add(std::unique_ptr<ThConvertInfoObject> job)
{
    job->Id = m_nextId++;
    job->m_row = Count();
    m_jobs.push_back(std::move(job));
    emit jobsAdded(Count() - 1, Count() - 1);
    return Count() - 1;
}

void ThConvertInfoObjectList::AddAll(std::vector<std::unique_ptr<ThConvertInfoObject>> jobs)
{
    if (jobs.empty())
        return;
    const int first = Count();
    for (auto& job : jobs) {
        job->Id = m_nextId++;
        job->m_row = Count();
        m_jobs.push_back(std::move(job));
    }
    emit jobsAdded(first, Count() - 1);
}

int ThConvertInfoObjectList::AddSource(const QByteArray& path)
{
    auto job = std::make_unique<ThConvertInfoObject>();
    job->setSourcePath(path);
    return Add(std::move(job));
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
    for (int i = index; i < Count(); ++i)
        m_jobs[static_cast<size_t>(i)]->m_row = i;
    emit jobRemoved(index);
}

int ThConvertInfoObjectList::IndexOf(const ThConvertInfoObject& job) const
{
    const int row = job.m_row;
    return row >= 0 && row < Count() && m_jobs[static_cast<size_t>(row)].get() == &job ? row : -1;
}

ThConvertInfoObject* ThConvertInfoObjectList::Find(quint64 id) const
{
    for (const auto& job : m_jobs) {
        if (job->Id == id)
            return job.get();
    }
    return nullptr;
}

void ThConvertInfoObjectList::SetStatus(ThConvertInfoObject& job, TConvertStatus status,
                                        const QByteArray& encoderError)
{
    job.Status = status;
    job.EncoderError = encoderError;
    const int row = IndexOf(job);
    if (row >= 0)
        emit jobChanged(row);
}

tovilo::ConversionSettings ThConvertInfoObjectList::settings() const
{
    return {Quality, Ratio, SaveDir, OpenDir, Codec, Subtitle};
}

void ThConvertInfoObjectList::setSettings(const tovilo::ConversionSettings& settings)
{
    Quality = settings.Quality;
    Ratio = settings.Ratio;
    SaveDir = settings.SaveDir;
    OpenDir = settings.OpenDir;
    Codec = settings.Codec;
    Subtitle = settings.Subtitle;
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
    // A row outside the table (a hand-edited settings file) gets the small frame of the lower
    // rows; any ratio but 0 is wide.
    const tovilo::QualityRow* row = tovilo::qualityRow(Quality);
    const tovilo::FrameSize size =
        (row ? *row : tovilo::QualityRows.back()).frame[Ratio == 0 ? 0 : 1];
    return "-s " + QByteArray::number(size.width) + 'x' + QByteArray::number(size.height) + ' ';
}

QByteArray ThConvertInfoObjectList::BuildArguments(const QByteArray& source,
                                                   const QByteArray& output) const
{
    // Each path is quoted so that it comes back unchanged from the command-line split; an
    // ordinary path simply stands between double quotes.
    QByteArray arguments = " -y -i " + tovilo::quoteArgument(source);
    if (AudioOnly)
        return arguments + " -ab " + QByteArray::number(tovilo::Mp3Kbit) + "k -ar " +
               QByteArray::number(tovilo::Mp3SampleRate) + " -f mp3 " +
               tovilo::quoteArgument(output);
    // H.264 differs only in the encoder's name; the wrapper makes it what iPods play.
    arguments +=
        Codec == 1 ? " -flags bitexact -vcodec libx264 " : " -flags bitexact -vcodec mpeg4 ";
    arguments += FrameSizeArgument() + " -async 1000 ";
    if (const tovilo::QualityRow* row = tovilo::qualityRow(Quality)) {
        arguments += " -r " + QByteArray::number(row->frameRate) + " -acodec libfaac -b " +
                     QByteArray::number(row->videoKbit) + "kb -ac 2 -ar " +
                     QByteArray::number(row->sampleRate) + " -ab " +
                     QByteArray::number(row->audioKbit) + "k -f mp4 -vlevel 30 ";
        // The wrapper finds the track and burns it in; without the setting the line is as ever.
        if (Subtitle == 1)
            arguments += "-subtitles jpn ";
        arguments += tovilo::quoteArgument(output);
    }
    return arguments;
}
